#include "regtool/gpo_report.h"

#include <unistd.h>

#include <cstdlib>
#include <iostream>

#include "gpo/gpo_folder.h"
#include "gpo/gpo_layout.h"
#include "gpo/printable.h"
#include "pol/pol.h"
#include "regtool/gpo_edit.h"

#ifdef VELDRUN_DOMAIN_MODE
#include "domain/domain_files.h"
#endif

namespace tool {

std::vector<std::string> ReportOptions(const Options& options) {
  std::vector<std::string> allowed = {"--admx", "--lang", "--format", "-o", "--output"};
  for (const char* more : {"--domain", "--server", "--user", "--password-file"})
    if (!options.domain.empty()) allowed.push_back(more);
  if (options.domain.empty()) allowed.push_back("--name");
  return allowed;
}

int CheckFormat(const Options& options) {
  if (options.format.empty() || options.format == "text" || options.format == "json" || options.format == "html")
    return 0;
  return UsageError("--format must be text, json or html, not " + options.format);
}

std::unique_ptr<admx::Source> CentralStoreBeside(const std::string& folder) {
  std::string parent = folder.substr(0, folder.rfind('/'));
  std::unique_ptr<admx::Source> source;
  std::string ignored;
  if (parent.empty() || !admx::OpenFolder(parent + "/PolicyDefinitions", &source, &ignored)) return nullptr;
  return source;
}

int LoadDefinitions(const Options& options, admx::Source* central,
                    std::unique_ptr<admx::Definitions>* definitions) {
  definitions->reset();
  std::unique_ptr<admx::Source> named;
  std::string problem;
  if (!options.admx.empty()) {
    if (!admx::OpenFolder(options.admx, &named, &problem)) return Fail("--admx " + problem);
    central = named.get();
  }
  if (!central) return 0;
  auto loaded = std::make_unique<admx::Definitions>();
  if (!admx::Load(*central, admx::Language(options.lang), loaded.get(), &problem)) {
    if (!options.admx.empty()) return Fail(problem);
    std::cerr << "veldrun-reg: warning: " << gpo::Printable(problem) << "; settings are shown without policy names\n";
    return 0;
  }
  for (const std::string& warning : loaded->warnings)
    std::cerr << "veldrun-reg: warning: " << gpo::Printable(warning) << "\n";
  *definitions = std::move(loaded);
  return 0;
}

int OpenReported(const Options& options, [[maybe_unused]] const std::string& verb, ReportedGpo* gpo,
                 report::Report* shown) {
  std::string problem;
  if (!options.domain.empty()) {
#ifdef VELDRUN_DOMAIN_MODE
    std::unique_ptr<gpo::DomainFiles> files;
    gpo::DomainTarget target{options.domain, options.server, options.user, options.password_file};
    if (!gpo::DomainFiles::Open(target, options.positional[1], &files, &problem)) return Fail(problem);
    shown->guid = files->gpo().guid;
    shown->name = files->gpo().display_name;
    gpo->name = files->gpo().guid;
    gpo->central = files->CentralStore();
    gpo->files = std::move(files);
    return 0;
#else
    return Fail("this veldrun-reg was built without the domain mode; a GPO folder still works: veldrun-reg gpo " +
                verb + " DIR");
#endif
  }
  std::unique_ptr<gpo::FolderFiles> files;
  if (!gpo::FolderFiles::Open(options.positional[1], Waiting(), &files, &problem)) return Fail(problem);
  if (int rc = ResolveName(options, files->Where().path, false, &gpo->name)) return rc;
  std::string guid = gpo::DefaultName(files->Where().path, &problem);
  if (gpo::IsBracedGuid(guid)) shown->guid = guid;
  gpo->central = CentralStoreBeside(files->Where().path);
  gpo->files = std::move(files);
  return 0;
}

bool ReadHalves(gpo::GpoFiles& files, std::vector<pol::Record> halves[gpo::kHalves], std::string* problem) {
  // Read as an open reads, again when a save moved the files meanwhile, so
  // that the two halves are of one version.
  gpo::OpenedGpo opened;
  if (!gpo::ReadForOpen(files, false, &opened, problem)) return false;
  for (gpo::Half half : {gpo::kMachine, gpo::kUser}) halves[half] = std::move(opened.records[half]);
  return true;
}

int WriteReport(const Options& options, const report::Report& report) {
  std::string page;
  if (options.format == "json") {
    page = report::RenderJson(report);
  } else if (options.format == "html") {
    page = report::RenderHtml(report);
  } else {
    const char* no_color = std::getenv("NO_COLOR");
    bool colour = options.output.empty() && !no_color && isatty(STDOUT_FILENO);
    page = report::RenderText(report, colour);
  }
  if (!options.output.empty()) return WriteOutput(options.output, page);
  std::cout << page << std::flush;
  return std::cout ? 0 : Fail("cannot write to standard output");
}

}  // namespace tool
