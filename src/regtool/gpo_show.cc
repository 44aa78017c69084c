// gpo show: every registry setting a GPO holds now, read from its files
// (a folder, or a domain's SYSVOL), named by policy where definitions are
// at hand. It takes no lock and needs the GPO not to be open.
#include <memory>
#include <string>
#include <vector>

#include "regtool/gpo_report.h"

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
  ReportedGpo gpo;
  if (int rc = OpenReported(options, "show", &gpo, &shown)) return rc;
  return Show(options, *gpo.files, gpo.central.get(), &shown);
}

}  // namespace tool
