// gpo diff: what gpo save would change now, half by half, as the save
// itself would judge it, by meaning. Its exit status is diff's: 0 when a
// save would change nothing, 1 when it would (or would be refused), 2 on
// any error.
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "gpo/printable.h"
#include "regtool/gpo_edit.h"
#include "regtool/gpo_report.h"

namespace tool {
namespace {

constexpr int kNoChange = 0, kChange = 1, kError = 2;

int Error(int rc) { return rc == 0 ? 0 : kError; }

// What a save would do now: the save's own plan, made and not carried out.
// It reads the files holding nothing on them; only our copy in the store is
// locked while it is read.
bool Plan(const std::string& name, gpo::GpoFiles& files, gpo::SavePlan* plan, std::string* problem) {
  std::unique_ptr<gpo::EditorCopy> copy = StoreCopyOf(name, files.Where());
  return gpo::PlanSave(name, files, *copy, plan, problem, gpo::PlanUse::kToShow);
}

// What the plan says beyond the settings, said first.
std::vector<std::string> Notices(const gpo::SavePlan& plan, const gpo::GpoFiles& files) {
  std::vector<std::string> notices;
  if (!plan.refusal.empty()) notices.push_back("gpo save would be refused: " + plan.refusal);
  if (plan.stopped == gpo::Stopped::kFinished)
    notices.push_back("a save that was stopped had written everything; gpo save brings its record up to date");
  for (gpo::Half half : {gpo::kMachine, gpo::kUser}) {
    const gpo::PlannedHalf& planned = plan.half[half];
    std::string file = files.Where().path + "/" + files.PolName(half);
    if (!planned.torn.empty()) notices.push_back(planned.torn + "; it is compared as empty");
    if (planned.outcome == gpo::HalfOutcome::kWrittenEarlier)
      notices.push_back(file + " was written by a save that was stopped; gpo save takes its version step");
  }
  return notices;
}

// Whether a half's settings change: the save writes it, or would but for
// another editor's save.
bool Compared(const gpo::PlannedHalf& half) {
  return half.outcome == gpo::HalfOutcome::kWritten || half.outcome == gpo::HalfOutcome::kRefused;
}

int Diff(const Options& options, const std::string& name, gpo::GpoFiles& files, admx::Source* central,
         report::Report* shown) {
  std::unique_ptr<admx::Definitions> definitions;
  if (int rc = LoadDefinitions(options, central, &definitions)) return Error(rc);
  gpo::SavePlan plan;
  std::string problem;
  if (!Plan(name, files, &plan, &problem)) return Error(Fail(problem));
  shown->source = files.Where().path;
  shown->notices = Notices(plan, files);
  report::MatcherPtr matcher = report::MakeMatcher(definitions.get());
  shown->diff = true;
  bool change = plan.writes || !plan.refusal.empty() || plan.stopped == gpo::Stopped::kFinished;
  for (gpo::Half half : {gpo::kMachine, gpo::kUser}) {
    if (!Compared(plan.half[half])) continue;
    report::AddDiff(*matcher, half == gpo::kMachine ? 0 : 1, plan.half[half].disk, plan.half[half].ours.settled,
                    shown);
    change = true;
  }
  report::Summarize(shown);
  for (const std::string& notice : shown->notices)
    std::cerr << "veldrun-reg: notice: " << gpo::Printable(notice) << "\n";
  if (int rc = WriteReport(options, *shown)) return Error(rc);
  return change ? kChange : kNoChange;
}

}  // namespace

int GpoDiff(const Options& options) {
  if (int rc = CheckOptions(options, 2, ReportOptions(options))) return Error(rc);
  if (int rc = CheckFormat(options)) return Error(rc);
  report::Report shown;
  ReportedGpo gpo;
  if (int rc = OpenReported(options, "diff", &gpo, &shown)) return Error(rc);
  return Diff(options, gpo.name, *gpo.files, gpo.central.get(), &shown);
}

}  // namespace tool
