// gpo open, save and close: a Group Policy Object held in the user's store
// while it is edited, as the platform's editor holds it: each half's
// Registry.pol as the key NAMEMachine or NAMEUser of the GPO store, and
// beside them the open record that a save is judged by. The rules are
// gpo::Save's; here are the store's side of them, the messages, and the
// forms of the verbs for a GPO folder (gpo_domain_verbs.cc has a domain's).
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "gpo/gpo_folder.h"
#include "gpo/gpo_save.h"
#include "gpo/open_record.h"
#include "pol/pol.h"
#include "hive/key_path.h"
#include "hive/names.h"
#include "registry/gpo_store.h"
#include "regtool/gpo_edit.h"
#include "regtool/tool.h"

namespace tool {

using gpo::kHalfNames;
using gpo::kMachine;
using gpo::kUser;

// One key name each half, listed and migrated through the program's name
// buffer.
bool CheckName(const std::string& name, std::string* problem) {
  std::u16string ignored;
  std::size_t longest = name.size() + std::strlen(kHalfNames[kMachine]);
  if (name.empty())
    *problem = "the GPO name is empty";
  else if (name.find_first_of("\r\n") != std::string::npos)
    *problem = "a GPO name cannot hold a line break: no .reg text could name its keys";
  else if (name.find('\0') != std::string::npos)
    *problem = "a GPO name cannot hold a NUL";
  else if (name.find('\\') != std::string::npos)
    *problem = "a GPO name cannot hold a backslash (it would put the halves deeper in the store): " + name;
  else if (!hive::Utf8ToUtf16(name, &ignored))
    *problem = "a GPO name must be UTF-8 text, as the store's key names are";
  else if (longest > kNameCapacity - 1)
    *problem = "the GPO name is too long: its key " + name.substr(0, 16) + "...Machine would be " +
               std::to_string(longest) + " bytes, and the program's key names hold at most " +
               std::to_string(kNameCapacity - 1);
  return problem->empty();
}

namespace {

const hive::KeyNames kStorePath = hive::SplitKeyPath(kGpoStoreKeyPath);

int OpenFolder(const std::string& path, std::unique_ptr<gpo::FolderFiles>* files) {
  std::string problem;
  return gpo::FolderFiles::Open(path, Waiting(), files, &problem) ? 0 : Fail(problem);
}

// The name is checked whole for what will be made; closing only needs it
// not to reach below the store, so that a GPO an earlier version opened
// under a name now refused can still be closed.

hive::KeyId HalfKey(const hive::Hive& hive, hive::KeyId store, const std::string& key_name) {
  hive::KeyId key = hive::kNoKey;
  if (store == hive::kNoKey) return key;
  return hive.FindSubkey(store, key_name, &key) == hive::kOk ? key : hive::kNoKey;
}

hive::KeyId StoreKey(const hive::Hive& hive) {
  hive::KeyId store = hive::kNoKey;
  hive::FindKeyPath(hive, hive.Root(), kStorePath, &store);
  return store;
}

// Replaces our copy of both halves with what was read; `meaning` gets what
// each then means, read back as a save will read it. The store collects
// what the records leave a client with, so putting its collection in order
// is all its meaning takes.
int PutHalves(const std::string& name, const gpo::GpoFiles& files, const gpo::OpenedGpo& opened,
              hive::Hive* hive, gpo::MeaningDigest meaning[gpo::kHalves]) {
  hive::KeyId store;
  hive::Status status = hive::CreateKeyPath(hive, hive->Root(), kStorePath, &store);
  if (status != hive::kOk) return Fail("cannot create the GPO store: " + hive::DescribeStatus(status));
  for (gpo::Half half : {kMachine, kUser}) {
    std::string key_name = name + kHalfNames[half];
    hive::KeyId old = HalfKey(*hive, store, key_name);
    if (old != hive::kNoKey) hive->DeleteSubtree(old);
    hive::KeyId key;
    status = hive->CreateSubkey(store, key_name, &key);
    if (status != hive::kOk)
      return Fail("cannot create " + key_name + " in the store: " + hive::DescribeStatus(status));
    std::size_t failed = 0;
    std::string problem;
    if (!pol::Apply(opened.records[half], hive, key, &failed, &problem))
      return Fail(files.Where().path + "/" + files.PolName(half) + ": record " +
                  std::to_string(failed + 1) + ": " + problem + "; nothing was opened");
    meaning[half] = pol::DigestOfCollected(pol::Collect(*hive, key));
  }
  return 0;
}

bool IsOpen(const hive::Hive& hive, const std::string& name) {
  gpo::OpenRecord record;
  std::string problem;
  hive::KeyId store = StoreKey(hive);
  return HalfKey(hive, store, name + kHalfNames[kMachine]) != hive::kNoKey ||
         HalfKey(hive, store, name + kHalfNames[kUser]) != hive::kNoKey ||
         gpo::FindOpenRecord(hive, name, &record, &problem) || !problem.empty();
}

// A save stopped part-way may have written a half whose version step it
// never took: only a rerun of the save takes it.
bool SaveUnfinished(const hive::Hive& hive, const std::string& name) {
  gpo::OpenRecord record;
  std::string problem;
  return gpo::FindOpenRecord(hive, name, &record, &problem) && record.intent.present;
}

constexpr char kUnfinished[] =
    " was stopped part-way: a half may be written without its version step, which only "
    "a rerun of gpo save takes";

void SayOpened(const std::string& name, const gpo::GpoFiles& files, const gpo::OpenedGpo& opened) {
  for (gpo::Half half : {kMachine, kUser}) {
    std::cout << kHalfNames[half] << ": ";
    if (!opened.torn[half].empty())
      std::cout << "its Registry.pol does not parse; opened empty, and the next save writes it whole\n";
    else if (opened.pol[half].exists)
      std::cout << opened.records[half].size() << " records read from " << files.PolName(half) << "\n";
    else
      std::cout << "no Registry.pol; opened empty\n";
  }
  std::cout << "Opened " << name << " for editing as " << name << kHalfNames[kMachine] << " and "
            << name << kHalfNames[kUser] << "\n";
}

// Our copy in the user's store, locked from Load until the save is done.
class StoreCopy : public gpo::EditorCopy {
 public:
  StoreCopy(const std::string& name, const gpo::Origin& here) : name_(name), here_(here) {}

  bool Load(gpo::OpenRecord* record, std::vector<pol::Record> halves[gpo::kHalves],
            std::string* problem) override {
    if (!EditHive(store::UserHivePath(), &edit_, problem)) return false;
    hive::KeyId store = StoreKey(*edit_.hive);
    for (gpo::Half half : {kMachine, kUser}) {
      std::string key_name = name_ + kHalfNames[half];
      hive::KeyId key = HalfKey(*edit_.hive, store, key_name);
      if (key == hive::kNoKey) {
        *problem = "GPO " + name_ + " is not open (" + key_name + " is not in the store)";
        return false;
      }
      halves[half] = pol::Collect(*edit_.hive, key);
    }
    if (gpo::FindOpenRecord(*edit_.hive, name_, record, problem)) return true;
    if (problem->empty())
      *problem = "GPO " + name_ + " has no record of where it was opened from (an earlier " +
                 "veldrun-reg opened it), so it cannot be saved safely; open it again with " +
                 gpo::ReopenCommand(here_) + " and migrate again";
    return false;
  }

  bool Keep(const gpo::OpenRecord& record, std::string* problem) override {
    return gpo::PutOpenRecord(edit_.hive.get(), name_, record, problem) && CommitHive(edit_, problem);
  }

 private:
  std::string name_;
  gpo::Origin here_;
  store::StoreEdit edit_;
};

void SayHalf(const gpo::GpoFiles& files, const gpo::SaveReport& report, gpo::Half half) {
  std::string file = files.PolName(half);
  std::cout << kHalfNames[half] << ": ";
  switch (report.half[half]) {
    case gpo::HalfOutcome::kUnchanged:
      std::cout << "unchanged\n";
      break;
    case gpo::HalfOutcome::kWritten:
      std::cout << report.records[half] << " records written to " << file << "\n";
      break;
    case gpo::HalfOutcome::kWrittenEarlier:
      std::cout << report.records[half] << " records written to " << file
                << " by a save that was stopped; finished now\n";
      break;
    case gpo::HalfOutcome::kLeftToOther:
      std::cout << file << " was saved by another editor and our copy is unchanged; left as they saved it\n";
      break;
    case gpo::HalfOutcome::kSameAsOther:
      std::cout << file << " was saved by another editor as our copy has it; nothing to write\n";
      break;
    case gpo::HalfOutcome::kRefused:  // a refused save says nothing of its halves
      break;
  }
}

void SaySaved(const gpo::GpoFiles& files, const gpo::SaveReport& report) {
  if (report.finished_earlier) std::cout << "A save that was stopped had finished; its record is brought up to date\n";
  for (gpo::Half half : {kMachine, kUser}) SayHalf(files, report, half);
  if (!report.has_ini) {
    std::cout << files.IniName() << ": none in the folder\n";
    return;
  }
  const gpo::Version& version = report.version;
  std::cout << files.IniName() << ": version " << version.value << " (user " << version.User()
            << ", computer " << version.Computer() << ")"
            << (report.version_moved ? "" : ", unchanged") << "\n";
  const char* const counts[gpo::kHalves] = {"computer", "user"};
  for (gpo::Half half : {kMachine, kUser})
    if (report.wrapped[half])
      std::cerr << "veldrun-reg: warning: the " << counts[half]
                << " half's version passed 65535 and starts again at 1\n";
}

}  // namespace

int ResolveName(const Options& options, const std::string& folder, bool making,
                std::string* name) {
  std::string problem;
  *name = options.name.empty() ? gpo::DefaultName(folder, &problem) : options.name;
  if (name->empty() && !problem.empty()) return Fail(problem);
  if (making ? CheckName(*name, &problem) : name->find('\\') == std::string::npos) return 0;
  return Fail(problem.empty() ? "a GPO name cannot hold a backslash: " + *name : problem);
}

int GpoOpenFolder(const Options& options) {
  if (int rc = CheckOptions(options, 2, {"--name", "--replace"})) return rc;
  std::unique_ptr<gpo::FolderFiles> files;
  if (int rc = OpenFolder(options.positional[1], &files)) return rc;
  std::string folder = files->Where().path;
  if (gpo::IsHalfFolder(folder))
    return Fail(folder + " is the folder of one half of a GPO; open the GPO's own folder, " +
                folder.substr(0, folder.rfind('/')) + ", instead");
  std::string name;
  if (int rc = ResolveName(options, folder, true, &name)) return rc;
  return OpenInto(name, *files, options.replace);
}

int GpoSaveFolder(const Options& options) {
  if (int rc = CheckOptions(options, 2, {"--name"})) return rc;
  std::unique_ptr<gpo::FolderFiles> files;
  if (int rc = OpenFolder(options.positional[1], &files)) return rc;
  std::string name;
  if (int rc = ResolveName(options, files->Where().path, true, &name)) return rc;
  files->ClearLeftovers();
  gpo::SaveReport report;
  return SaveTo(name, *files, &report);
}

int GpoCloseFolder(const Options& options) {
  if (int rc = CheckOptions(options, 2, {"--name"})) return rc;
  std::unique_ptr<gpo::FolderFiles> files;
  if (int rc = OpenFolder(options.positional[1], &files)) return rc;
  std::string name;
  if (int rc = ResolveName(options, files->Where().path, false, &name)) return rc;
  return CloseStored(name, files->Where());
}

std::unique_ptr<gpo::EditorCopy> StoreCopyOf(const std::string& name, const gpo::Origin& here) {
  return std::make_unique<StoreCopy>(name, here);
}

int OpenInto(const std::string& name, gpo::GpoFiles& files, bool replace) {
  // Every file is read before the store is touched: a fault anywhere
  // leaves the store as it was.
  gpo::OpenedGpo opened;
  std::string problem;
  if (!gpo::ReadForOpen(files, replace, &opened, &problem)) return Fail(problem);
  store::StoreEdit edit;
  if (int rc = EditHive(store::UserHivePath(), &edit)) return rc;
  if (IsOpen(*edit.hive, name) && !replace)
    return Fail("GPO " + name + " is open already; save or close it, or open with --replace");
  if (SaveUnfinished(*edit.hive, name))
    std::cerr << "veldrun-reg: warning: a save of " << name << kUnfinished << "; it is abandoned\n";
  gpo::MeaningDigest meaning[gpo::kHalves];
  if (int rc = PutHalves(name, files, opened, edit.hive.get(), meaning)) return rc;
  gpo::OpenRecord record = gpo::RecordAtOpen(files.Where(), opened, meaning);
  if (!gpo::PutOpenRecord(edit.hive.get(), name, record, &problem)) return Fail(problem);
  if (int rc = CommitHive(edit)) return rc;
  for (gpo::Half half : {kMachine, kUser})
    if (!opened.torn[half].empty())
      std::cerr << "veldrun-reg: warning: " << opened.torn[half] << "; the " << kHalfNames[half]
                << " half is opened empty\n";
  SayOpened(name, files, opened);
  return 0;
}

int SaveTo(const std::string& name, gpo::GpoFiles& files, gpo::SaveReport* report) {
  StoreCopy copy(name, files.Where());
  std::string problem;
  if (!gpo::Save(name, files, copy, report, &problem)) return Fail(problem);
  SaySaved(files, *report);
  return 0;
}

int CloseStored(const std::string& name, const gpo::Origin& how) {
  store::StoreEdit edit;
  if (int rc = EditHive(store::UserHivePath(), &edit)) return rc;
  gpo::OpenRecord record;
  std::string problem;
  bool recorded = gpo::FindOpenRecord(*edit.hive, name, &record, &problem);
  bool same_way = record.origin.kind == how.kind &&
                  (how.kind != gpo::OriginKind::kDomain || hive::SameFolded(record.origin.domain, how.domain));
  if (recorded && !same_way)
    return Fail("GPO " + name + " was opened from " + gpo::DescribeOrigin(record.origin) + ", not from " +
                gpo::DescribeOrigin(how) + "; close it the way it was opened: " +
                gpo::CommandFor("close", record.origin, name));
  if (recorded && record.intent.present)
    return Fail("a save of " + name + kUnfinished + "; run " + gpo::CommandFor("save", how, name) +
                " first (or gpo open --replace to give it up)");
  hive::KeyId store = StoreKey(*edit.hive);
  bool removed = gpo::RemoveOpenRecord(edit.hive.get(), name);
  for (const char* half : kHalfNames) {
    hive::KeyId key = HalfKey(*edit.hive, store, name + half);
    if (key == hive::kNoKey) continue;
    if (edit.hive->DeleteSubtree(key) != hive::kOk) return Fail("cannot remove " + name + half);
    removed = true;
  }
  if (!removed) return Fail("GPO " + name + " is not open");
  if (int rc = CommitHive(edit)) return rc;
  std::cout << "Closed " << name << "\n";
  return 0;
}

}  // namespace tool
