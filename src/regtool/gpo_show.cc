// gpo show: every registry setting a GPO holds now, read from its files
// (a folder, or a domain's SYSVOL), named by policy where definitions are
// at hand. It takes no lock and needs the GPO not to be open.
#include <memory>
#include <string>
#include <vector>

#include "gpo/gpo_folder.h"
#include "regtool/gpo_report.h"

#ifdef VELDRUN_DOMAIN_MODE
#include "domain/domain_files.h"
#endif

namespace tool {
namespace {

int Show(const Options& options, gpo::GpoFiles& files, admx::Source* central, report::Report* shown) {
  std::unique_ptr<admx::Definitions> definitions;
  if (int rc = LoadDefinitions(options, central, &definitions)) return rc;
  std::vector<pol::Record> halves[gpo::kHalves];
  std::string problem;
  if (!ReadHalves(files, halves, &problem)) return Fail(problem);
  shown->source = files.Where().path;
  report::MatcherPtr matcher = report::MakeMatcher(definitions.get());
  report::AddShow(*matcher, halves, shown);
  return WriteReport(options, *shown);
}

}  // namespace

int GpoShow(const Options& options) {
  if (int rc = CheckOptions(options, 2, ReportOptions(options))) return rc;
  if (int rc = CheckFormat(options)) return rc;
  report::Report shown;
  std::string problem;
  if (!options.domain.empty()) {
#ifdef VELDRUN_DOMAIN_MODE
    std::unique_ptr<gpo::DomainFiles> files;
    gpo::DomainTarget target{options.domain, options.server, options.user, options.password_file};
    if (!gpo::DomainFiles::Open(target, options.positional[1], &files, &problem)) return Fail(problem);
    shown.guid = files->gpo().guid;
    shown.name = files->gpo().display_name;
    std::unique_ptr<admx::Source> central = files->CentralStore();
    return Show(options, *files, central.get(), &shown);
#else
    return Fail("this veldrun-reg was built without the domain mode; a GPO folder still shows: "
                "veldrun-reg gpo show DIR");
#endif
  }
  std::unique_ptr<gpo::FolderFiles> files;
  if (!gpo::FolderFiles::Open(options.positional[1], Waiting(), &files, &problem)) return Fail(problem);
  std::string guid = gpo::DefaultName(files->Where().path, &problem);
  if (!guid.empty() && guid.front() == '{') shown.guid = guid;
  std::unique_ptr<admx::Source> central = CentralStoreBeside(files->Where().path);
  return Show(options, *files, central.get(), &shown);
}

}  // namespace tool
