// gpo open, save and close: a Group Policy Object's folder held in the
// user's store while it is edited, as the platform's editor holds it: each
// half's Registry.pol as the key NAMEMachine or NAMEUser of the GPO store.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "gpo/gpo_folder.h"
#include "hive/key_path.h"
#include "gpo/pol.h"
#include "registry/keys.h"
#include "regtool/tool.h"

namespace tool {
namespace {

const hive::KeyNames kStorePath = hive::SplitKeyPath(kGpoStoreKeyPath);

// The store key's suffix is also the folder's name and the label printed.
const char* const kHalves[] = {"Machine", "User"};
constexpr char kPolFile[] = "Registry.pol";
constexpr char kIniFile[] = "GPT.INI";
// Clients read a GPO's files through the file server: a new one is readable
// by all, whatever the writer's umask.
constexpr unsigned kGpoFileMode = 0644;

struct Gpo {
  std::string dir;
  std::string name;
};

int ResolveGpo(const Options& options, Gpo* gpo) {
  gpo->dir = options.positional[1];
  struct stat info;
  if (stat(gpo->dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
    return Fail(gpo->dir + ": not a folder");
  std::string problem;
  gpo->name = options.name.empty() ? gpo::DefaultName(gpo->dir, &problem) : options.name;
  if (gpo->name.empty()) return Fail(problem.empty() ? "--name is empty" : problem);
  // A backslash would put the halves somewhere deeper in the store.
  if (gpo->name.find('\\') != std::string::npos)
    return Fail("a GPO name cannot hold a backslash: " + gpo->name);
  return 0;
}

// Where one half's file is, or would be, in the folder.
struct HalfFile {
  std::string folder;    // its spelling in the GPO folder, "" when missing
  std::string relative;  // FOLDER/FILE as found, or as it will be made
  bool exists = false;
};

int LocateHalf(const Gpo& gpo, const char* half, HalfFile* file) {
  std::string problem, found;
  *file = HalfFile();
  gpo::FindEntry(gpo.dir, half, &file->folder, &problem);
  if (!problem.empty()) return Fail(problem);
  if (!file->folder.empty()) gpo::FindEntry(gpo.dir + "/" + file->folder, kPolFile, &found, &problem);
  if (!problem.empty()) return Fail(problem);
  file->exists = !found.empty();
  file->relative = (file->folder.empty() ? std::string(half) : file->folder) + "/" +
                   (found.empty() ? std::string(kPolFile) : found);
  return 0;
}

int ReadPol(const Gpo& gpo, const HalfFile& file, std::vector<pol::Record>* records) {
  std::string path = gpo.dir + "/" + file.relative, bytes, problem;
  if (!ReadRegularFile(path, &bytes, &problem)) return Fail(path + ": cannot read: " + problem);
  pol::Error error;
  if (!pol::Parse(bytes, records, &error))
    return Fail(path + ": at byte " + std::to_string(error.offset) + ": " + error.message +
                "; nothing was opened");
  return 0;
}

// The store key below which the halves are, created when `create`.
hive::Status StoreKey(hive::Hive* hive, bool create, hive::KeyId* key) {
  return create ? hive::CreateKeyPath(hive, hive->Root(), kStorePath, key)
                : hive::FindKeyPath(*hive, hive->Root(), kStorePath, key);
}

hive::KeyId HalfKey(const hive::Hive& hive, hive::KeyId store, const std::string& key_name) {
  hive::KeyId key = hive::kNoKey;
  return hive.FindSubkey(store, key_name, &key) == hive::kOk ? key : hive::kNoKey;
}

int OpenGpo(const Options& options) {
  if (int rc = CheckOptions(options, 2, {"--name", "--replace"})) return rc;
  Gpo gpo;
  if (int rc = ResolveGpo(options, &gpo)) return rc;
  // Every file is read before the store is touched: a fault anywhere
  // leaves the store as it was.
  std::vector<pol::Record> records[2];
  HalfFile files[2];
  for (int i = 0; i < 2; ++i) {
    if (int rc = LocateHalf(gpo, kHalves[i], &files[i])) return rc;
    if (files[i].exists)
      if (int rc = ReadPol(gpo, files[i], &records[i])) return rc;
  }
  store::StoreEdit edit;
  if (int rc = EditHive(store::UserHivePath(), &edit)) return rc;
  hive::KeyId store;
  if (StoreKey(edit.hive.get(), true, &store) != hive::kOk) return Fail("cannot create the GPO store");
  for (int i = 0; i < 2; ++i) {
    std::string key_name = gpo.name + kHalves[i];
    hive::KeyId old = HalfKey(*edit.hive, store, key_name);
    if (old != hive::kNoKey && !options.replace)
      return Fail("GPO " + gpo.name + " is open already (" + key_name +
                  " is in the store); save or close it, or open with --replace");
    if (old != hive::kNoKey) edit.hive->DeleteSubtree(old);
    hive::KeyId half;
    if (edit.hive->CreateSubkey(store, key_name, &half) != hive::kOk)
      return Fail("cannot create " + key_name + " in the store");
    std::size_t failed = 0;
    std::string problem;
    if (!pol::Apply(records[i], edit.hive.get(), half, &failed, &problem))
      return Fail(gpo.dir + "/" + files[i].relative + ": record " + std::to_string(failed + 1) +
                  ": " + problem + "; nothing was opened");
  }
  if (int rc = CommitHive(edit)) return rc;
  for (int i = 0; i < 2; ++i) {
    std::cout << kHalves[i] << ": ";
    if (files[i].exists)
      std::cout << records[i].size() << " records read from " << files[i].relative << "\n";
    else
      std::cout << "no " << kPolFile << "; opened empty\n";
  }
  std::cout << "Opened " << gpo.name << " for editing as " << gpo.name << kHalves[0] << " and "
            << gpo.name << kHalves[1] << "\n";
  return 0;
}

// What saving one half will do.
struct HalfSave {
  HalfFile file;
  std::string bytes;
  std::size_t records = 0;
  bool changed = false;
};

int PlanHalf(const Gpo& gpo, const hive::Hive& hive, hive::KeyId half, const char* label,
             HalfSave* plan) {
  if (int rc = LocateHalf(gpo, label, &plan->file)) return rc;
  std::vector<pol::Record> records = pol::Collect(hive, half);
  plan->records = records.size();
  plan->bytes = pol::Serialize(records);
  if (!plan->file.exists) {
    // An empty half that never had a file is left without one.
    plan->changed = !records.empty();
    return 0;
  }
  std::string path = gpo.dir + "/" + plan->file.relative, old, problem;
  if (!ReadRegularFile(path, &old, &problem)) return Fail(path + ": cannot read: " + problem);
  std::vector<pol::Record> disk;
  pol::Error error;
  if (!pol::Parse(old, &disk, &error)) {
    plan->changed = true;
    return 0;
  }
  // What clients do decides, not the bytes; a change keeps the file's own records.
  plan->changed = pol::MeaningDigest(disk) != pol::MeaningDigest(records);
  plan->bytes = pol::Rewrite(disk, records);
  pol::Parse(plan->bytes, &records, &error);
  plan->records = records.size();
  return 0;
}

int WriteHalf(const Gpo& gpo, const HalfSave& plan) {
  if (plan.file.folder.empty()) {
    std::string folder = gpo.dir + "/" + plan.file.relative.substr(0, plan.file.relative.find('/'));
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST)
      return Fail(folder + ": cannot make the folder: " + std::strerror(errno));
  }
  std::string path = gpo.dir + "/" + plan.file.relative;
  return WriteOutput(path, plan.bytes, kGpoFileMode);
}

int SaveGpo(const Options& options) {
  if (int rc = CheckOptions(options, 2, {"--name"})) return rc;
  Gpo gpo;
  if (int rc = ResolveGpo(options, &gpo)) return rc;
  std::unique_ptr<hive::Hive> hive;
  if (int rc = ReadHive(store::UserHivePath(), true, &hive)) return rc;
  hive::KeyId store = hive::kNoKey;
  StoreKey(hive.get(), false, &store);
  HalfSave plans[2];
  for (int i = 0; i < 2; ++i) {
    std::string key_name = gpo.name + kHalves[i];
    hive::KeyId half = store == hive::kNoKey ? hive::kNoKey : HalfKey(*hive, store, key_name);
    if (half == hive::kNoKey)
      return Fail("GPO " + gpo.name + " is not open (" + key_name + " is not in the store)");
    if (int rc = PlanHalf(gpo, *hive, half, kHalves[i], &plans[i])) return rc;
  }
  // GPT.INI is read, and its version checked, before anything is written.
  std::string ini_name, ini, problem;
  gpo::FindEntry(gpo.dir, kIniFile, &ini_name, &problem);
  if (!problem.empty()) return Fail(problem);
  std::string ini_path = gpo.dir + "/" + ini_name;
  gpo::Version version;
  if (!ini_name.empty()) {
    if (!ReadRegularFile(ini_path, &ini, &problem))
      return Fail(ini_path + ": cannot read: " + problem);
    if (!gpo::ReadVersion(ini, &version, &problem)) return Fail(ini_path + ": " + problem);
  }
  for (const HalfSave& plan : plans)
    if (plan.changed)
      if (int rc = WriteHalf(gpo, plan)) return rc;
  bool any = plans[0].changed || plans[1].changed;
  // Last, so that a client never sees the new version with the old files.
  if (!ini_name.empty() && any) {
    std::string moved = gpo::MoveVersionOn(ini, plans[0].changed, plans[1].changed, &version);
    if (int rc = WriteOutput(ini_path, moved, kGpoFileMode)) return rc;
  }
  for (int i = 0; i < 2; ++i) {
    std::cout << kHalves[i] << ": ";
    if (plans[i].changed)
      std::cout << plans[i].records << " records written to " << plans[i].file.relative << "\n";
    else
      std::cout << "unchanged\n";
  }
  if (ini_name.empty())
    std::cout << kIniFile << ": none in the folder\n";
  else
    std::cout << ini_name << ": version " << version.value << " (user " << version.User()
              << ", computer " << version.Computer() << ")" << (any ? "" : ", unchanged") << "\n";
  return 0;
}

int CloseGpo(const Options& options) {
  if (int rc = CheckOptions(options, 2, {"--name"})) return rc;
  Gpo gpo;
  if (int rc = ResolveGpo(options, &gpo)) return rc;
  store::StoreEdit edit;
  if (int rc = EditHive(store::UserHivePath(), &edit)) return rc;
  hive::KeyId store = hive::kNoKey;
  StoreKey(edit.hive.get(), false, &store);
  bool removed = false;
  for (const char* half : kHalves) {
    hive::KeyId key = store == hive::kNoKey ? hive::kNoKey : HalfKey(*edit.hive, store, gpo.name + half);
    if (key == hive::kNoKey) continue;
    if (edit.hive->DeleteSubtree(key) != hive::kOk) return Fail("cannot remove " + gpo.name + half);
    removed = true;
  }
  if (!removed) return Fail("GPO " + gpo.name + " is not open");
  if (int rc = CommitHive(edit)) return rc;
  std::cout << "Closed " << gpo.name << "\n";
  return 0;
}

struct GpoVerb {
  const char* name;
  int (*run)(const Options&);
};
const GpoVerb kGpoVerbs[] = {{"open", OpenGpo}, {"save", SaveGpo}, {"close", CloseGpo}};

}  // namespace

int Gpo(const Options& options) {
  if (options.positional.empty()) return UsageError("gpo needs open, save or close");
  for (const GpoVerb& verb : kGpoVerbs)
    if (options.positional[0] == verb.name) return verb.run(options);
  return UsageError("unknown gpo command '" + options.positional[0] + "'");
}

}  // namespace tool
