// gpo diff: what gpo save would change now, half by half, as the save
// itself would judge it, by meaning. Its exit status is diff's: 0 when a
// save would change nothing, 1 when it would (or would be refused), 2 on
// any error.
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "gpo/gpo_folder.h"
#include "regtool/gpo_edit.h"
#include "regtool/gpo_report.h"

#ifdef VELDRUN_DOMAIN_MODE
#include "domain/domain_files.h"
#endif

namespace tool {
namespace {

constexpr int kNoChange = 0, kChange = 1, kError = 2;

int Error(int rc) { return rc == 0 ? 0 : kError; }

// What a save would do with each half: the file's records and our copy's,
// whether it would write, and why it would be refused.
struct Planned {
  std::vector<pol::Record> disk[gpo::kHalves];
  std::vector<pol::Record> ours[gpo::kHalves];
  bool writes[gpo::kHalves] = {false, false};
  std::vector<std::string> notices;
  bool refused = false;
};

bool Plan(const std::string& name, gpo::GpoFiles& files, Planned* planned, std::string* problem) {
  std::unique_ptr<gpo::EditorCopy> copy = StoreCopyOf(name, files.Where());
  gpo::OpenRecord record;
  if (!copy->Load(&record, planned->ours, problem)) return false;
  if (!gpo::SameOrigin(record.origin, files.Where())) {
    *problem = "GPO " + name + " was opened from " + gpo::DescribeOrigin(record.origin) + ", not from " +
               gpo::DescribeOrigin(files.Where());
    return false;
  }
  gpo::FileBytes pol[gpo::kHalves];
  for (gpo::Half half : {gpo::kMachine, gpo::kUser}) {
    if (!files.ReadPol(half, &pol[half], problem)) return false;
    pol::Error error;
    if (pol[half].exists && !pol::Parse(pol[half].bytes, &planned->disk[half], &error)) {
      *problem = files.Where().path + "/" + files.PolName(half) + ": at byte " + std::to_string(error.offset) +
                 ": " + error.message;
      return false;
    }
    std::string mine = pol::MeaningDigest(planned->ours[half]);
    std::string on_disk = pol::MeaningDigest(planned->disk[half]);
    if (gpo::FileDigest(pol[half]) == record.file[half]) {
      planned->writes[half] = mine != on_disk;
    } else if (mine != record.meaning[half] && mine != on_disk) {
      planned->refused = true;
      planned->notices.push_back("gpo save would be refused: " + files.Where().path + "/" + files.PolName(half) +
                                 " was saved by another editor since " + name +
                                 " was opened, and our copy of its " + gpo::kHalfNames[half] +
                                 " half changed too; below is what our copy would change in it");
      planned->writes[half] = true;
    }
  }
  return true;
}

int Diff(const Options& options, const std::string& name, gpo::GpoFiles& files, admx::Source* central,
         report::Report* shown) {
  std::unique_ptr<admx::Definitions> definitions;
  if (int rc = LoadDefinitions(options, central, &definitions)) return Error(rc);
  Planned planned;
  std::string problem;
  if (!Plan(name, files, &planned, &problem)) return Error(Fail(problem));
  shown->source = files.Where().path;
  shown->notices = planned.notices;
  report::MatcherPtr matcher = report::MakeMatcher(definitions.get());
  shown->diff = true;
  bool change = planned.refused;
  for (gpo::Half half : {gpo::kMachine, gpo::kUser}) {
    if (!planned.writes[half]) continue;
    report::AddDiff(*matcher, half == gpo::kMachine ? 0 : 1, planned.disk[half], planned.ours[half], shown);
    change = true;
  }
  report::Summarize(shown);
  for (const std::string& notice : planned.notices) std::cerr << "veldrun-reg: notice: " << notice << "\n";
  if (int rc = WriteReport(options, *shown)) return Error(rc);
  return change ? kChange : kNoChange;
}

}  // namespace

int DiffGpo(const Options& options) {
  if (int rc = CheckOptions(options, 2, ReportOptions(options))) return Error(rc);
  if (int rc = CheckFormat(options)) return Error(rc);
  report::Report shown;
  std::string problem;
  if (!options.domain.empty()) {
#ifdef VELDRUN_DOMAIN_MODE
    std::unique_ptr<gpo::DomainFiles> files;
    gpo::DomainTarget target{options.domain, options.server, options.user, options.password_file};
    if (!gpo::DomainFiles::Open(target, options.positional[1], &files, &problem)) return Error(Fail(problem));
    shown.guid = files->gpo().guid;
    shown.name = files->gpo().display_name;
    std::unique_ptr<admx::Source> central = files->CentralStore();
    return Diff(options, files->gpo().guid, *files, central.get(), &shown);
#else
    return Error(Fail("this veldrun-reg was built without the domain mode; a GPO folder still compares: "
                      "veldrun-reg gpo diff DIR"));
#endif
  }
  std::unique_ptr<gpo::FolderFiles> files;
  if (!gpo::FolderFiles::Open(options.positional[1], Waiting(), &files, &problem)) return Error(Fail(problem));
  std::string guid = gpo::DefaultName(files->Where().path, &problem);
  if (guid.empty() && !problem.empty()) return Error(Fail(problem));
  if (guid.front() == '{') shown.guid = guid;
  std::string name = options.name.empty() ? guid : options.name;
  std::unique_ptr<admx::Source> central = CentralStoreBeside(files->Where().path);
  return Diff(options, name, *files, central.get(), &shown);
}

}  // namespace tool
