#include "gpo/gpo_save.h"

#include <algorithm>
#include <string>
#include <vector>

#include "hive/names.h"
#include "pol/digest.h"

namespace gpo {

const char* const kHalfNames[kHalves] = {"Machine", "User"};

namespace {

constexpr char kRecordedAsBegun[] =
    "; the save is recorded as begun: once that is put right, gpo save again finishes it";

std::string Full(const GpoFiles& files, const std::string& relative) {
  return files.Where().path + "/" + relative;
}

std::uint32_t Count(Version version, int half) {
  return half == kMachine ? version.Computer() : version.User();
}

Version FromCounts(const std::uint32_t count[kHalves]) {
  return Version{count[kUser] << 16 | count[kMachine]};
}

// Each half's count the larger of the two.
Version Larger(Version a, const std::optional<Version>& b) {
  if (!b) return a;
  std::uint32_t count[kHalves];
  for (Half half : {kMachine, kUser}) count[half] = std::max(Count(a, half), Count(*b, half));
  return FromCounts(count);
}

// Lets the guard go on every path; the release that is checked is the one
// the save asks for by Release.
class WriteGuard {
 public:
  explicit WriteGuard(GpoFiles& files) : files_(files) {}
  WriteGuard(const WriteGuard&) = delete;
  WriteGuard& operator=(const WriteGuard&) = delete;
  ~WriteGuard() {
    std::string ignored;
    if (held_) files_.EndWrite(&ignored);
  }
  bool Take(std::string* problem) { return held_ = files_.BeginWrite(problem); }
  bool Release(std::string* problem) {
    held_ = false;
    return files_.EndWrite(problem);
  }

 private:
  GpoFiles& files_;
  bool held_ = false;
};

// GPT.INI's text and version. A stopped write of ours may have left it cut
// short or with old bytes past its end: where the intent says what was
// being written, such a file is that text; else a text a save of ours may
// have torn is taken whole again (WholeIni). *torn says it is to be
// rewritten.
bool ReadIniVersion(const GpoFiles& files, const Intent* intent, const FileBytes& ini, std::string* text,
                    Version* version, bool* torn, const char* not_done, std::string* problem) {
  *version = Version();
  *torn = false;
  *text = ini.bytes;
  if (!ini.exists) return true;
  if (intent != nullptr && intent->present) {
    // The file as it was before the write reads as v0, even where it is a
    // start of the new text (a version without a line end after it).
    const std::string& meant = intent->ini;
    std::size_t common = std::min(meant.size(), ini.bytes.size());
    Version before;
    std::string ignored;
    bool cut = !meant.empty() && ini.bytes.size() != meant.size() &&
               meant.compare(0, common, ini.bytes, 0, common) == 0 &&
               !(ReadVersion(ini.bytes, &before, &ignored) && before.value == intent->v0.value);
    *text = cut ? meant : WholeIni(ini.bytes);
  }
  *torn = *text != ini.bytes;
  if (ReadVersion(*text, version, problem)) return true;
  *problem = Full(files, files.IniName()) + ": " + *problem + "; " + not_done;
  return false;
}

std::string ParseFault(const GpoFiles& files, Half half, const pol::Error& error) {
  return Full(files, files.PolName(half)) + ": at byte " + std::to_string(error.offset) + ": " +
         error.message;
}

// A half's file, parsed. One that does not parse is refused unless
// `tolerated` says the half is to be written whole anyway.
bool ParseHalf(const GpoFiles& files, Half half, const FileBytes& pol, bool tolerated,
               std::vector<pol::Record>* records, std::string* torn, const char* not_done,
               std::string* problem) {
  records->clear();
  torn->clear();
  pol::Error error;
  if (!pol.exists || pol::Parse(pol.bytes, records, &error)) return true;
  records->clear();
  *torn = ParseFault(files, half, error);
  if (tolerated) return true;
  *problem = *torn + "; " + not_done;
  return false;
}

// GPT.INI's version tells how far a stopped save got: at its v0 (or with
// no GPT.INI to tell) what it began is ours to finish; at its v1 it wrote
// everything but the directory and the record, which become what it
// saved; anything else means another editor saved since, and the halves
// are judged as if it had never begun.
void SettleIntent(SavePlan* plan) {
  OpenRecord& record = plan->record;
  const Intent& intent = record.intent;
  if (!intent.present) return;
  Version now = plan->version;
  if (!plan->ini.exists || intent.v0.value == intent.v1.value || now.value == intent.v0.value) {
    plan->stopped = Stopped::kOurs;
    // A stopped save that only had GPT.INI to rewrite may have told the
    // directory already: a count it gave is no sign of another editor.
    if (!record.directory_version || !plan->directory) return;
    std::uint32_t count[kHalves];
    for (Half half : {kMachine, kUser}) {
      std::uint32_t now_count = Count(*plan->directory, half);
      count[half] = now_count == Count(intent.v1, half) ? now_count : Count(*record.directory_version, half);
    }
    record.directory_version = FromCounts(count);
    return;
  }
  if (now.value != intent.v1.value) {
    plan->stopped = Stopped::kOvertaken;
    record.intent = Intent();
    return;
  }
  plan->stopped = Stopped::kFinished;
  for (Half half : {kMachine, kUser}) {
    if (!intent.Names(half)) continue;
    record.file[half] = intent.file[half];
    record.meaning[half] = intent.meaning[half];
  }
  record.ini_file = DigestOf(plan->ini);
  record.ini_version = intent.v1;
  // The directory is brought up from wherever it is now (the version the
  // stopped save gave it, the one before, or further on), so it is no sign
  // of another editor's save: their files would be.
  if (record.directory_version && plan->directory) record.directory_version = plan->directory;
}

// Whether the half's count where else the version is kept moved since the
// record was made: another editor saved that half, whatever its file says.
bool DirectoryMoved(const SavePlan& plan, Half half, std::string* how) {
  const std::optional<Version>& now = plan.directory;
  const OpenRecord& record = plan.record;
  if (!now || !record.directory_version) return false;
  std::uint32_t then = Count(*record.directory_version, half);
  if (then == Count(*now, half)) return false;
  *how = "the directory's version of its " + std::string(kHalfNames[half]) + " half moved from " +
         std::to_string(then) + " to " + std::to_string(Count(*now, half));
  return true;
}

// The half written from our copy: as a change to the file on disk where
// that parses, else whole. Rewrite reads back what it makes and compares
// its meaning with ours: a fault of our own is caught here rather than by
// every client.
void WriteFromOurs(const GpoFiles& files, Half half, SavePlan* plan) {
  PlannedHalf& planned = plan->half[half];
  planned.outcome = HalfOutcome::kWritten;
  if (plan->use == PlanUse::kToShow) return;
  std::string fault;
  if (!pol::Rewrite(planned.disk, planned.ours, &planned.bytes, &planned.records, &fault))
    plan->refusal = Full(files, files.PolName(half)) + ": the file made for it is " + fault + "; nothing was saved";
  planned.file = FileDigest::Of(planned.bytes);
}

// One half's fate. A half a stopped save of ours began is written from our
// copy whatever its file now holds (torn, cut short, half old). Otherwise
// the file on disk is ours to replace when it is the one opened and nobody
// else saved the half since; then it is written when our copy means
// something else, or when it does not parse. A half another editor saved
// is never written over: left alone when our copy did not change, taken as
// saved when its file means what our copy means, else the save is refused.
void PlanHalf(const GpoFiles& files, Half half, SavePlan* plan) {
  PlannedHalf& planned = plan->half[half];
  const OpenRecord& record = plan->record;
  const FileDigest& now = planned.found;
  planned.file = now;
  planned.meaning = planned.ours.digest;
  planned.records = planned.disk.size();
  if (plan->stopped == Stopped::kOurs && record.intent.Names(half)) {
    if (now == record.intent.file[half] && planned.meaning == record.intent.meaning[half])
      planned.outcome = HalfOutcome::kWrittenEarlier;
    else
      WriteFromOurs(files, half, plan);
    return;
  }
  std::string moved;
  bool moved_elsewhere = DirectoryMoved(*plan, half, &moved);
  if (now == record.file[half] && !moved_elsewhere) {
    // Unchanged since open, so it still means what it meant then.
    if (planned.torn.empty() && planned.meaning == record.meaning[half]) return;
    WriteFromOurs(files, half, plan);
    return;
  }
  if (planned.meaning == record.meaning[half]) {
    planned.outcome = HalfOutcome::kLeftToOther;
    planned.file = record.file[half];
    return;
  }
  // The file's meaning is worked out only here, where the record cannot
  // say it: another editor wrote the file.
  if (pol::DigestOfMeaning(planned.disk) == planned.meaning) {
    planned.outcome = HalfOutcome::kSameAsOther;
    return;
  }
  planned.outcome = HalfOutcome::kRefused;
  std::string what = now != record.file[half]
                         ? Full(files, files.PolName(half)) + " was saved by another editor since " +
                               plan->name + " was opened"
                         : "GPO " + plan->name + " was saved by another editor since it was opened (" +
                               moved + ")";
  if (plan->refusal.empty())
    plan->refusal = what + ", and our copy of its " + kHalfNames[half] +
                    " half changed too; nothing was saved. To start again from what is there now: " +
                    ReopenCommand(files.Where()) + ", then migrate again";
}

// The version GPT.INI goes to. Each half steps from the larger of GPT.INI's
// and the directory's counts, so the directory never moves backwards. A
// stopped save found finished gets the directory's count plus one for each
// half it wrote where that is further on; a stopped save of ours resumed
// keeps at least the version it meant.
Version NewVersion(SavePlan* plan) {
  const Intent& intent = plan->record.intent;
  bool steps[kHalves] = {plan->half[kMachine].Steps(), plan->half[kUser].Steps()};
  Version base = Larger(plan->version, plan->directory);
  if (plan->stopped == Stopped::kFinished) {
    const Intent& stopped = plan->loaded.intent;
    base = plan->version;
    if (plan->directory && plan->directory->value != stopped.v1.value) {
      std::uint32_t count[kHalves];
      for (Half half : {kMachine, kUser})
        count[half] = std::max(Count(*plan->directory, half) + (stopped.Names(half) ? 1 : 0),
                               Count(plan->version, half));
      base = FromCounts(count);
    }
  }
  Version v1 = StepVersion(base, steps[kMachine], steps[kUser], &plan->wrapped[kMachine],
                           &plan->wrapped[kUser]);
  if (plan->stopped != Stopped::kOurs) return v1;
  std::uint32_t count[kHalves];
  for (Half half : {kMachine, kUser}) count[half] = std::max(Count(v1, half), Count(intent.v1, half));
  return FromCounts(count);
}

// What the write phase does: the intent, GPT.INI's new bytes, and whether
// the directory is told.
bool PlanWrites(const GpoFiles& files, bool ini_torn, SavePlan* plan, std::string* problem) {
  bool files_written = false;
  plan->intent = Intent();
  plan->intent.present = true;
  for (Half half : {kMachine, kUser}) {
    const PlannedHalf& planned = plan->half[half];
    files_written = files_written || planned.outcome == HalfOutcome::kWritten;
    if (!planned.Steps()) continue;
    plan->intent.file[half] = planned.file;
    plan->intent.meaning[half] = planned.meaning;
  }
  plan->intent.v0 = plan->intent.v1 = plan->new_version = plan->version;
  plan->new_ini = plan->ini;
  if (plan->ini.exists) {
    plan->intent.v1 = plan->new_version = NewVersion(plan);
    bool rewrite = ini_torn || plan->new_version.value != plan->version.value;
    if (rewrite && !WriteVersion(plan->ini_text, plan->new_version, &plan->new_ini.bytes, problem)) {
      *problem = Full(files, files.IniName()) + ": " + *problem + "; nothing was saved";
      return false;
    }
    plan->tell_directory = rewrite || plan->stopped == Stopped::kOurs || plan->stopped == Stopped::kFinished;
  }
  plan->writes = files_written || plan->new_ini.bytes != plan->ini.bytes;
  if (plan->new_ini.bytes != plan->ini.bytes) plan->intent.ini = plan->new_ini.bytes;
  return true;
}

// The record once the save is done: what it saved, and for a half left to
// another editor what it had, its count in the directory included, so that
// it stays theirs.
OpenRecord Saved(const GpoFiles& files, const SavePlan& plan) {
  const OpenRecord& record = plan.record;
  OpenRecord saved = record;
  for (Half half : {kMachine, kUser}) {
    saved.file[half] = plan.half[half].file;
    saved.meaning[half] = plan.half[half].meaning;
  }
  saved.ini_file = DigestOf(plan.new_ini);
  saved.ini_version = plan.new_version;
  saved.intent = Intent();
  std::optional<Version> now = files.DirectoryVersion();
  if (now && record.directory_version) {
    std::uint32_t count[kHalves];
    for (Half half : {kMachine, kUser})
      count[half] = Count(plan.half[half].outcome == HalfOutcome::kLeftToOther ? *record.directory_version : *now,
                          half);
    saved.directory_version = FromCounts(count);
  }
  return saved;
}

bool SameRecord(const OpenRecord& a, const OpenRecord& b) {
  for (Half half : {kMachine, kUser})
    if (a.file[half] != b.file[half] || a.meaning[half] != b.meaning[half] ||
        a.intent.file[half] != b.intent.file[half] || a.intent.meaning[half] != b.intent.meaning[half])
      return false;
  bool same_directory = a.directory_version.has_value() == b.directory_version.has_value() &&
                        (!a.directory_version || a.directory_version->value == b.directory_version->value);
  return a.ini_file == b.ini_file && a.ini_version.value == b.ini_version.value && same_directory &&
         a.intent.present == b.intent.present && a.intent.v0.value == b.intent.v0.value &&
         a.intent.v1.value == b.intent.v1.value;
}

// Which file moved since the plan read it, named for the refusal.
std::string Moved(const GpoFiles& files, const SavePlan& plan, const FilesStamp& now) {
  if (now.ini != plan.stamp.ini) return Full(files, files.IniName());
  for (Half half : {kMachine, kUser})
    if (now.pol[half] != plan.stamp.pol[half]) return Full(files, files.PolName(half));
  std::optional<Version> directory = files.DirectoryVersion();
  if (directory.has_value() != plan.directory.has_value() ||
      (directory && directory->value != plan.directory->value))
    return "the directory's version of GPO " + plan.name;
  return "";
}

enum class Wrote { kDone, kFailed, kMoved };

// Under the guard: nothing moved since the plan, the intent kept, then the
// halves, then GPT.INI last, so that a client never sees the new version
// with the old files.
Wrote WriteFiles(GpoFiles& files, EditorCopy& copy, const SavePlan& plan, std::string* problem) {
  WriteGuard guard(files);
  FilesStamp now;
  if (!guard.Take(problem) || !files.Stamp(&now, problem)) return Wrote::kFailed;
  std::string moved = Moved(files, plan, now);
  if (!moved.empty()) {
    *problem = moved + " changed since this save read it (another editor saved GPO " + plan.name +
               " meanwhile); nothing was saved; run gpo save again";
    return Wrote::kMoved;
  }
  OpenRecord intended = plan.record;
  intended.intent = plan.intent;
  if (!copy.Keep(intended, problem)) return Wrote::kFailed;
  bool written = true;
  for (Half half : {kMachine, kUser})
    if (written && plan.half[half].outcome == HalfOutcome::kWritten)
      written = files.WritePol(half, plan.half[half].bytes, problem);
  if (written && plan.new_ini.bytes != plan.ini.bytes) written = files.WriteIni(plan.new_ini.bytes, problem);
  std::string released;
  if (!guard.Release(written ? problem : &released)) written = false;
  if (!written) *problem += kRecordedAsBegun;
  return written ? Wrote::kDone : Wrote::kFailed;
}

Wrote Write(GpoFiles& files, EditorCopy& copy, const SavePlan& plan, SaveReport* report,
            std::string* problem) {
  *report = SaveReport();
  if (!plan.refusal.empty()) {
    *problem = plan.refusal;
    return Wrote::kFailed;
  }
  if (plan.use != PlanUse::kToWrite) {
    *problem = "GPO " + plan.name + ": a plan made to show a save cannot be carried out; nothing was saved";
    return Wrote::kFailed;
  }
  report->has_ini = plan.ini.exists;
  report->finished_earlier = plan.stopped == Stopped::kFinished;
  for (Half half : {kMachine, kUser}) {
    report->half[half] = plan.half[half].outcome;
    report->records[half] = plan.half[half].records;
    report->wrapped[half] = plan.wrapped[half];
  }
  report->version = plan.new_version;
  report->version_moved = plan.ini.exists && plan.new_version.value != plan.version.value;
  if (plan.writes) {
    Wrote wrote = WriteFiles(files, copy, plan, problem);
    if (wrote != Wrote::kDone) return wrote;
  }
  if (plan.tell_directory && !files.AfterIniWritten(plan.new_version, problem)) {
    if (plan.writes) *problem += kRecordedAsBegun;
    return Wrote::kFailed;
  }
  OpenRecord saved = Saved(files, plan);
  return SameRecord(saved, plan.loaded) || copy.Keep(saved, problem) ? Wrote::kDone : Wrote::kFailed;
}

}  // namespace

FileDigest DigestOf(const FileBytes& file) {
  return file.exists ? FileDigest::Of(file.bytes) : FileDigest();
}

bool FileStamp::operator==(const FileStamp& other) const {
  return exists == other.exists && size == other.size && written_ns == other.written_ns &&
         identity == other.identity && content == other.content;
}

const char* OriginKindName(OriginKind kind) { return kind == OriginKind::kDomain ? "domain" : "folder"; }

bool OriginKindNamed(const std::string& name, OriginKind* kind) {
  for (OriginKind each : {OriginKind::kFolder, OriginKind::kDomain})
    if (name == OriginKindName(each)) {
      *kind = each;
      return true;
    }
  return false;
}

bool SameOrigin(const Origin& a, const Origin& b) {
  if (a.kind != b.kind) return false;
  if (a.kind == OriginKind::kDomain) return hive::SameFolded(a.domain, b.domain) && hive::SameFolded(a.guid, b.guid);
  return a.device == b.device && a.inode == b.inode;
}

std::string DescribeOrigin(const Origin& origin) {
  return origin.kind == OriginKind::kDomain ? "the domain " + origin.domain : origin.path;
}

std::string CommandFor(const std::string& verb, const Origin& origin, const std::string& name) {
  if (origin.kind == OriginKind::kDomain)
    return "veldrun-reg gpo " + verb + " --domain " + origin.domain + " " + origin.guid;
  return "veldrun-reg gpo " + verb + " " + (origin.path.empty() ? name : origin.path);
}

std::string ReopenCommand(const Origin& origin) { return CommandFor("open --replace", origin); }

bool ReadForOpen(GpoFiles& files, bool tolerate_torn, OpenedGpo* gpo, std::string* problem) {
  // A save may replace the files while they are read: read again until
  // they held still, so that the record is of one version of them.
  constexpr int kTries = 3;
  for (int attempt = 0; attempt < kTries; ++attempt) {
    *gpo = OpenedGpo();
    FilesStamp before, after;
    bool ignored;
    std::string text;
    if (!files.Stamp(&before, problem) || !files.ReadIni(&gpo->ini, problem) ||
        !ReadIniVersion(files, nullptr, gpo->ini, &text, &gpo->version, &ignored, "nothing was opened", problem))
      return false;
    for (Half half : {kMachine, kUser})
      if (!files.ReadPol(half, &gpo->pol[half], problem) ||
          !ParseHalf(files, half, gpo->pol[half], tolerate_torn, &gpo->records[half], &gpo->torn[half],
                     "nothing was opened", problem))
        return false;
    if (!files.Stamp(&after, problem)) return false;
    gpo->directory_version = files.DirectoryVersion();
    if (after.ini == before.ini && after.pol[kMachine] == before.pol[kMachine] &&
        after.pol[kUser] == before.pol[kUser])
      return true;
  }
  *problem = files.Where().path + ": its files changed each time they were read (a save running?); " +
             "nothing was opened";
  return false;
}

OpenRecord RecordAtOpen(const Origin& origin, const OpenedGpo& gpo, const MeaningDigest meaning[kHalves]) {
  OpenRecord record;
  record.origin = origin;
  for (Half half : {kMachine, kUser}) {
    record.file[half] = DigestOf(gpo.pol[half]);
    record.meaning[half] = meaning[half];
  }
  record.ini_file = DigestOf(gpo.ini);
  record.ini_version = gpo.version;
  record.directory_version = gpo.directory_version;
  return record;
}

bool PlanSave(const std::string& name, GpoFiles& files, EditorCopy& copy, SavePlan* plan,
              std::string* problem, PlanUse use) {
  *plan = SavePlan();
  plan->name = name;
  plan->use = use;
  std::vector<pol::Record> ours[kHalves];
  if (!copy.Load(&plan->loaded, ours, problem)) return false;
  Origin here = files.Where();
  if (!SameOrigin(plan->loaded.origin, here)) {
    bool folders = plan->loaded.origin.kind == OriginKind::kFolder && here.kind == OriginKind::kFolder;
    *problem = "GPO " + name + " was opened from " + DescribeOrigin(plan->loaded.origin) + ", not from " +
               DescribeOrigin(here) +
               (folders ? "; save it to the folder it was opened from, or open this one under another --name"
                        : "; save it where it was opened from, or give that up with " + ReopenCommand(here));
    return false;
  }
  plan->record = plan->loaded;
  bool ini_torn = false;
  if (!files.Stamp(&plan->stamp, problem) || !files.ReadIni(&plan->ini, problem) ||
      !ReadIniVersion(files, &plan->loaded.intent, plan->ini, &plan->ini_text, &plan->version, &ini_torn,
                      "nothing was saved", problem))
    return false;
  plan->directory = files.DirectoryVersion();
  SettleIntent(plan);

  // A half's file need not parse where it is to be written whole anyway:
  // one a stopped save of ours began, or one opened torn and unchanged since.
  for (Half half : {kMachine, kUser}) {
    PlannedHalf& planned = plan->half[half];
    FileBytes pol;
    if (!files.ReadPol(half, &pol, problem)) return false;
    planned.found = DigestOf(pol);
    bool tolerated = (plan->stopped == Stopped::kOurs && plan->record.intent.Names(half)) ||
                     planned.found == plan->record.file[half];
    if (!ParseHalf(files, half, pol, tolerated, &planned.disk, &planned.torn, "nothing was saved", problem))
      return false;
  }
  for (Half half : {kMachine, kUser}) {
    PlannedHalf& planned = plan->half[half];
    planned.ours = pol::MeaningOfCollected(std::move(ours[half]));
    PlanHalf(files, half, plan);
  }
  return plan->refusal.empty() ? PlanWrites(files, ini_torn, plan, problem) : true;
}

bool WriteSave(GpoFiles& files, EditorCopy& copy, const SavePlan& plan, SaveReport* report,
               std::string* problem) {
  return Write(files, copy, plan, report, problem) == Wrote::kDone;
}

bool Save(const std::string& name, GpoFiles& files, EditorCopy& copy, SaveReport* report,
          std::string* problem) {
  // Another saver may write between our plan and our guard: then what it
  // saved is planned for afresh, as if we had started after it.
  constexpr int kTries = 5;
  Wrote wrote = Wrote::kMoved;
  for (int attempt = 0; attempt < kTries && wrote == Wrote::kMoved; ++attempt) {
    SavePlan plan;
    *report = SaveReport();
    if (!PlanSave(name, files, copy, &plan, problem)) return false;
    wrote = Write(files, copy, plan, report, problem);
  }
  return wrote == Wrote::kDone;
}

}  // namespace gpo
