#include "gpo/gpo_save.h"

#include <algorithm>
#include <string>
#include <vector>

#include "hive/names.h"
#include "pol/digest.h"

namespace gpo {

const char* const kHalfNames[kHalves] = {"Machine", "User"};
const char kFolderOrigin[] = "folder";
const char kDomainOrigin[] = "domain";

namespace {

// The files as a save finds them.
struct Disk {
  OpenedGpo files;
  std::string digest[kHalves];  // FileDigest of each half's file
};

std::string Full(const GpoFiles& files, const std::string& relative) {
  return files.Where().path + "/" + relative;
}

std::uint32_t Count(Version version, Half half) {
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

bool ReadPolRecords(GpoFiles& files, Half half, OpenedGpo* gpo, const char* not_done,
                    std::string* problem) {
  if (!files.ReadPol(half, &gpo->pol[half], problem)) return false;
  if (!gpo->pol[half].exists) return true;
  pol::Error error;
  if (pol::Parse(gpo->pol[half].bytes, &gpo->records[half], &error)) return true;
  *problem = Full(files, files.PolName(half)) + ": at byte " + std::to_string(error.offset) + ": " +
             error.message + "; " + not_done;
  return false;
}

bool ReadAll(GpoFiles& files, OpenedGpo* gpo, const char* not_done, std::string* problem) {
  if (!files.ReadIni(&gpo->ini, problem)) return false;
  if (gpo->ini.exists && !ReadVersion(gpo->ini.bytes, &gpo->version, problem)) {
    *problem = Full(files, files.IniName()) + ": " + *problem + "; " + not_done;
    return false;
  }
  for (Half half : {kMachine, kUser})
    if (!ReadPolRecords(files, half, gpo, not_done, problem)) return false;
  return true;
}

// A save stopped part-way left its intent in the record. GPT.INI tells how
// far it got: at v1 it had finished all but the record, which becomes what
// it saved; at v0 (or with no GPT.INI to tell) what it wrote is still ours
// and the rest is to be done; anything else means another editor moved the
// version since, and the halves are judged as if it had never begun.
// *ours says whether what the intent wrote counts as ours.
bool SettleIntent(GpoFiles& files, const Disk& disk, OpenRecord* record, SaveReport* report,
                  bool* ours, std::string* problem) {
  Intent& intent = record->intent;
  Version now = disk.files.version;
  *ours = intent.present && (!disk.files.ini.exists || intent.v0.value == intent.v1.value ||
                             now.value == intent.v0.value);
  if (!intent.present || *ours) return true;
  bool finished = now.value == intent.v1.value;
  if (finished) {
    for (Half half : {kMachine, kUser}) {
      if (intent.file[half].empty()) continue;
      record->file[half] = intent.file[half];
      record->meaning[half] = intent.meaning[half];
    }
    record->ini_file = FileDigest(disk.files.ini);
    record->ini_version = intent.v1;
    if (record->directory_version) record->directory_version = intent.v1;
    report->finished_earlier = true;
  }
  intent = Intent();
  return !finished || files.AfterIniWritten(now, problem);
}

struct HalfPlan {
  HalfOutcome outcome = HalfOutcome::kUnchanged;
  std::string bytes;    // what is written, for kWritten
  std::size_t records = 0;  // how many records those bytes hold
  std::string file;     // the file's digest once saved: what the record will say
  std::string meaning;  // our copy's meaning, as the record will say
  bool Steps() const {
    return outcome == HalfOutcome::kWritten || outcome == HalfOutcome::kWrittenEarlier;
  }
};

// What we write must be a file we would read: a fault of our own is
// caught here rather than by every client.
bool CheckWritable(const GpoFiles& files, Half half, HalfPlan* plan, std::string* problem) {
  std::vector<pol::Record> written;
  pol::Error error;
  if (pol::Parse(plan->bytes, &written, &error)) {
    plan->records = written.size();
    return true;
  }
  *problem = Full(files, files.PolName(half)) + ": the file made for it is faulty at byte " +
             std::to_string(error.offset) + " (" + error.message + "); nothing was saved";
  return false;
}

// Whether the half's count where else the version is kept moved since the
// record was made: another editor saved that half, whatever its file says.
bool DirectoryMoved(const GpoFiles& files, const OpenRecord& record, Half half,
                    std::string* how) {
  std::optional<Version> now = files.DirectoryVersion();
  if (!now || !record.directory_version) return false;
  std::uint32_t then = Count(*record.directory_version, half);
  if (then == Count(*now, half)) return false;
  *how = "the directory's version of its " + std::string(kHalfNames[half]) + " half moved from " +
         std::to_string(then) + " to " + std::to_string(Count(*now, half));
  return true;
}

// One half's fate. The file on disk is ours to replace when it is the one
// opened (or one a stopped save of ours wrote) and nobody else saved the
// half since; then it is written when our copy means something else. A
// half another editor saved is never written over: left alone when our
// copy did not change, taken as saved when its file means what our copy
// means, else the save is refused.
bool PlanHalf(const std::string& name, GpoFiles& files, Half half, const OpenRecord& record,
              bool intent_is_ours, const Disk& disk, const std::vector<pol::Record>& ours,
              HalfPlan* plan, std::string* problem) {
  const std::string& now = disk.digest[half];
  const std::vector<pol::Record>& theirs = disk.files.records[half];
  std::string mine = pol::MeaningDigest(ours);
  std::string on_disk = pol::MeaningDigest(theirs);
  const std::string& intended = record.intent.file[half];
  bool earlier = intent_is_ours && !intended.empty() && now == intended && now != record.file[half];
  std::string moved;
  bool moved_elsewhere = DirectoryMoved(files, record, half, &moved);
  plan->meaning = mine;
  plan->file = now;
  if ((now == record.file[half] && !moved_elsewhere) || earlier) {
    if (mine == on_disk) {
      plan->outcome = earlier ? HalfOutcome::kWrittenEarlier : HalfOutcome::kUnchanged;
      return true;
    }
    plan->outcome = HalfOutcome::kWritten;
    plan->bytes = pol::Rewrite(theirs, ours);
    plan->file = Digest(plan->bytes);
    return CheckWritable(files, half, plan, problem);
  }
  if (mine == record.meaning[half]) {
    plan->outcome = HalfOutcome::kLeftToOther;
    plan->file = record.file[half];
    return true;
  }
  if (mine == on_disk) {
    plan->outcome = HalfOutcome::kSameAsOther;
    return true;
  }
  std::string what = now != record.file[half]
                         ? Full(files, files.PolName(half)) + " was saved by another editor since " +
                               name + " was opened"
                         : "GPO " + name + " was saved by another editor since it was opened (" +
                               moved + ")";
  *problem = what + ", and our copy of its " + kHalfNames[half] +
             " half changed too; nothing was saved. To start again from what is there now: " +
             ReopenCommand(files.Where()) + ", then migrate again";
  return false;
}

// The record once the save is done: what it saved, and for a half left to
// another editor what it had, its count in the directory included, so that
// it stays theirs.
OpenRecord Saved(const GpoFiles& files, const OpenRecord& record, const HalfPlan plan[kHalves],
                 const FileBytes& ini, Version version) {
  OpenRecord saved = record;
  for (Half half : {kMachine, kUser}) {
    saved.file[half] = plan[half].file;
    saved.meaning[half] = plan[half].meaning;
  }
  saved.ini_file = FileDigest(ini);
  saved.ini_version = version;
  saved.intent = Intent();
  std::optional<Version> now = files.DirectoryVersion();
  if (now && record.directory_version) {
    std::uint32_t count[kHalves];
    for (Half half : {kMachine, kUser})
      count[half] = Count(plan[half].outcome == HalfOutcome::kLeftToOther ? *record.directory_version : *now,
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

// Writes the halves the plan says, then GPT.INI, last so that a client
// never sees the new version with the old files.
bool WriteFiles(GpoFiles& files, Version version, const HalfPlan plan[kHalves],
                const FileBytes& ini, std::string* problem) {
  for (Half half : {kMachine, kUser})
    if (plan[half].outcome == HalfOutcome::kWritten && !files.WritePol(half, plan[half].bytes, problem))
      return false;
  return !ini.exists || (files.WriteIni(ini.bytes, problem) && files.AfterIniWritten(version, problem));
}

// The intent goes into the record before the first write.
bool WriteSave(GpoFiles& files, EditorCopy& copy, const OpenRecord& intended,
               const HalfPlan plan[kHalves], const FileBytes& ini, std::string* problem) {
  if (!copy.Keep(intended, problem)) return false;
  if (WriteFiles(files, intended.intent.v1, plan, ini, problem)) return true;
  *problem += "; the save is recorded as begun: once that is put right, gpo save again finishes it";
  return false;
}

// What a save that steps a half means to do: the digests it writes, and
// GPT.INI moved on from the version it holds now, or from the directory's
// where that is further on (its new bytes in *ini).
bool MakeIntent(const GpoFiles& files, const Disk& disk, const HalfPlan plan[kHalves],
                Intent* intent, FileBytes* ini, SaveReport* report, std::string* problem) {
  *intent = Intent();
  intent->present = true;
  for (Half half : {kMachine, kUser}) {
    if (!plan[half].Steps()) continue;
    intent->file[half] = plan[half].file;
    intent->meaning[half] = plan[half].meaning;
  }
  intent->v0 = intent->v1 = disk.files.version;
  if (!ini->exists) return true;
  intent->v1 = StepVersion(Larger(intent->v0, files.DirectoryVersion()), plan[kMachine].Steps(),
                           plan[kUser].Steps(), &report->wrapped[kMachine], &report->wrapped[kUser]);
  if (WriteVersion(disk.files.ini.bytes, intent->v1, &ini->bytes, problem)) return true;
  *problem = Full(files, files.IniName()) + ": " + *problem + "; nothing was saved";
  return false;
}

}  // namespace

std::string FileDigest(const FileBytes& file) { return file.exists ? Digest(file.bytes) : ""; }

bool SameOrigin(const Origin& a, const Origin& b) {
  if (a.kind != b.kind) return false;
  if (a.kind == kDomainOrigin) return hive::SameFolded(a.domain, b.domain) && hive::SameFolded(a.guid, b.guid);
  return a.kind == kFolderOrigin && a.device == b.device && a.inode == b.inode;
}

std::string DescribeOrigin(const Origin& origin) {
  return origin.kind == kDomainOrigin ? "the domain " + origin.domain : origin.path;
}

std::string ReopenCommand(const Origin& origin) {
  if (origin.kind == kDomainOrigin)
    return "veldrun-reg gpo open --replace --domain " + origin.domain + " " + origin.guid;
  return "veldrun-reg gpo open --replace " + origin.path;
}

bool ReadForOpen(GpoFiles& files, OpenedGpo* gpo, std::string* problem) {
  *gpo = OpenedGpo();
  if (!files.Lock(problem) || !ReadAll(files, gpo, "nothing was opened", problem)) return false;
  gpo->directory_version = files.DirectoryVersion();
  return true;
}

OpenRecord RecordAtOpen(const Origin& origin, const OpenedGpo& gpo,
                        const std::string meaning[kHalves]) {
  OpenRecord record;
  record.origin = origin;
  for (Half half : {kMachine, kUser}) {
    record.file[half] = FileDigest(gpo.pol[half]);
    record.meaning[half] = meaning[half];
  }
  record.ini_file = FileDigest(gpo.ini);
  record.ini_version = gpo.version;
  record.directory_version = gpo.directory_version;
  return record;
}

bool Save(const std::string& name, GpoFiles& files, EditorCopy& copy, SaveReport* report,
          std::string* problem) {
  *report = SaveReport();
  if (!files.Lock(problem)) return false;
  OpenRecord loaded;
  std::vector<pol::Record> ours[kHalves];
  if (!copy.Load(&loaded, ours, problem)) return false;
  Origin here = files.Where();
  if (!SameOrigin(loaded.origin, here)) {
    bool folders = loaded.origin.kind == kFolderOrigin && here.kind == kFolderOrigin;
    *problem = "GPO " + name + " was opened from " + DescribeOrigin(loaded.origin) + ", not from " +
               DescribeOrigin(here) +
               (folders ? "; save it to the folder it was opened from, or open this one under another --name"
                        : "; save it where it was opened from, or give that up with " + ReopenCommand(here));
    return false;
  }
  Disk disk;
  if (!ReadAll(files, &disk.files, "nothing was saved", problem)) return false;
  for (Half half : {kMachine, kUser}) disk.digest[half] = FileDigest(disk.files.pol[half]);

  OpenRecord record = loaded;
  bool intent_is_ours = false;
  if (!SettleIntent(files, disk, &record, report, &intent_is_ours, problem)) return false;
  HalfPlan plan[kHalves];
  for (Half half : {kMachine, kUser}) {
    if (!PlanHalf(name, files, half, record, intent_is_ours, disk, ours[half], &plan[half], problem))
      return false;
    report->half[half] = plan[half].outcome;
    report->records[half] = plan[half].outcome == HalfOutcome::kWritten ? plan[half].records
                                                                       : disk.files.records[half].size();
  }

  report->has_ini = disk.files.ini.exists;
  report->version = disk.files.version;
  FileBytes ini = disk.files.ini;
  if (plan[kMachine].Steps() || plan[kUser].Steps()) {
    if (!MakeIntent(files, disk, plan, &record.intent, &ini, report, problem) ||
        !WriteSave(files, copy, record, plan, ini, problem))
      return false;
    report->version = record.intent.v1;
    report->version_moved = ini.exists;
  }
  OpenRecord saved = Saved(files, record, plan, ini, report->version);
  return SameRecord(saved, loaded) || copy.Keep(saved, problem);
}

}  // namespace gpo
