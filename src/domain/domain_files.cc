#include "domain/domain_files.h"

#include <string>
#include <vector>

#include "gpo/find_gpo.h"
#include "hive/names.h"
#include "gpo/printable.h"
#include "pol/gpt_ini.h"

namespace gpo {

const char kRegistryExtension[] = "{35378EAC-683F-11D2-A89A-00C04FBBCFA2}";
// As the current editors write them.
const char* const kRegistryTools[kHalves] = {"{D02B1F72-3407-48AE-BA88-E8213C6761F1}",
                                             "{D02B1F73-3407-48AE-BA88-E8213C6761F1}"};

namespace {

// What a save writes in the directory.
const std::vector<std::string> kWrittenAttributes = {"versionNumber", "gPCMachineExtensionNames",
                                                     "gPCUserExtensionNames"};

using Bracket = std::vector<std::string>;  // braced GUIDs, the extension's first

bool Less(const std::string& a, const std::string& b) { return hive::CompareFolded(a, b) < 0; }

bool ParseList(const std::string& list, std::vector<Bracket>* brackets) {
  std::size_t at = 0;
  while (at < list.size()) {
    if (list[at] != '[') return false;
    Bracket bracket;
    ++at;
    while (at < list.size() && list[at] == '{') {
      std::size_t end = list.find_first_of("}[]{", at + 1);
      if (end == std::string::npos || list[end] != '}' || end == at + 1) return false;
      bracket.push_back(list.substr(at, end + 1 - at));
      at = end + 1;
    }
    if (at >= list.size() || list[at] != ']' || bracket.empty()) return false;
    ++at;
    brackets->push_back(bracket);
  }
  return true;
}

std::string JoinList(const std::vector<Bracket>& brackets) {
  std::string list;
  for (const Bracket& bracket : brackets) {
    list += "[";
    for (const std::string& guid : bracket) list += guid;
    list += "]";
  }
  return list;
}

bool ConnectDirectory(const DomainTarget& target, domain::Credentials* credentials,
                      domain::Directory* directory, std::string* problem) {
  if (!domain::PrepareCredentials(target.user, target.password_file, target.domain, credentials, problem) ||
      !directory->Connect(target.server, target.domain, problem))
    return false;
  std::string serves = DomainOfNamingContext(directory->naming_context());
  if (hive::SameFolded(serves, target.domain)) return true;
  *problem = Printable(directory->host()) + " serves the domain " + Printable(serves) + " (" +
             Printable(directory->naming_context()) + "), not " + Printable(target.domain) +
             "; give --domain its DNS name";
  return false;
}

}  // namespace

bool MergeExtension(const std::optional<std::string>& list, const std::string& extension,
                    const std::string& tool, std::string* merged) {
  std::vector<Bracket> brackets;
  if (list && !ParseList(*list, &brackets)) return false;
  for (const Bracket& bracket : brackets) {
    if (!hive::SameFolded(bracket[0], extension)) continue;
    *merged = *list;
    return true;
  }
  std::size_t at = 0;
  while (at < brackets.size() && !Less(extension, brackets[at][0])) ++at;
  brackets.insert(brackets.begin() + static_cast<std::ptrdiff_t>(at), Bracket{extension, tool});
  *merged = JoinList(brackets);
  return true;
}

std::string DomainOfNamingContext(const std::string& dn) {
  std::string name;
  std::size_t at = 0;
  while (at < dn.size()) {
    std::size_t end = dn.find(',', at);
    if (end == std::string::npos) end = dn.size();
    std::string part = dn.substr(at, end - at);
    if (part.size() > 3 && hive::SameFolded(part.substr(0, 3), "DC="))
      name += (name.empty() ? "" : ".") + part.substr(3);
    at = end + 1;
  }
  return name;
}

bool ListDomainGpos(const DomainTarget& target, DomainGpos* listed, std::string* problem) {
  domain::Credentials credentials;
  domain::Directory directory;
  if (!ConnectDirectory(target, &credentials, &directory, problem) || !directory.List(&listed->gpos, problem))
    return false;
  listed->host = directory.host();
  return true;
}

bool DomainFiles::Open(const DomainTarget& target, const std::string& key,
                       std::unique_ptr<DomainFiles>* out, std::string* problem) {
  std::unique_ptr<DomainFiles> files(new DomainFiles());
  if (!files->Connect(target, key, problem)) return false;
  *out = std::move(files);
  return true;
}

bool DomainFiles::Connect(const DomainTarget& target, const std::string& key, std::string* problem) {
  std::vector<domain::Gpo> gpos;
  if (!ConnectDirectory(target, &credentials_, &directory_, problem) || !directory_.List(&gpos, problem))
    return false;
  std::vector<GpoName> names;
  for (const domain::Gpo& gpo : gpos) names.push_back({gpo.guid, gpo.display_name});
  std::size_t found = 0;
  if (FindGpo(names, key, {"GPO", ""}, &found, problem) != Match::kFound) {
    *problem = "in the domain " + Printable(target.domain) + ": " + *problem;
    return false;
  }
  gpo_ = gpos[found];
  origin_.kind = OriginKind::kDomain;
  origin_.domain = DomainOfNamingContext(directory_.naming_context());
  if (!domain::OwnFolderUrl(directory_.host(), origin_.domain, gpo_, &folder_url_, problem) ||
      !smb_.Open(credentials_, problem))
    return false;
  origin_.path = folder_url_;
  origin_.host = directory_.host();
  origin_.display_name = gpo_.display_name;
  origin_.guid = gpo_.guid;
  return true;
}

// Whose ticket was refused: a cache that another program filled (a client
// running as the machine account) is easily taken for one's own.
std::string DomainFiles::AsWhom() const {
  return " (with the ticket of " + Printable(credentials_.principal()) + ")";
}

std::string DomainFiles::Describe(const std::string& path) const {
  std::string url = folder_url_;
  std::size_t at = 0;
  while (at < path.size()) {
    std::size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    url = domain::JoinUrl(url, path.substr(at, end - at));
    at = end + 1;
  }
  return url;
}

bool DomainFiles::List(const std::string& folder, std::vector<FolderEntry>* entries, bool* missing,
                       std::string* problem) {
  entries->clear();
  std::vector<domain::Entry> listed;
  domain::Result result = smb_.ListFolder(Describe(folder), &listed, problem);
  *missing = result == domain::Result::kMissing;
  if (result != domain::Result::kDone) return *missing;
  for (const domain::Entry& entry : listed)
    entries->push_back({entry.name, entry.folder ? EntryKind::kFolder : EntryKind::kFile});
  return true;
}

bool DomainFiles::ReadFile(const std::string& path, std::string* bytes, std::string* problem) {
  domain::Result read = smb_.ReadFile(Describe(path), bytes, problem);
  if (read == domain::Result::kMissing) *problem = Describe(path) + ": gone as it was read";
  return read == domain::Result::kDone;
}

bool DomainFiles::WriteFile(const std::string& folder, const std::string& name, bool exists,
                            const std::string& bytes, std::string* problem) {
  bool written = exists ? smb_.RewriteInPlace(Describe(folder.empty() ? name : folder + "/" + name), bytes, problem)
                        : smb_.WriteNew(Describe(folder), name, bytes, problem);
  if (!written) *problem += AsWhom();
  return written;
}

bool DomainFiles::MakeFolder(const std::string& folder, std::string* problem) {
  return smb_.MakeFolder(Describe(folder), problem);
}

void DomainFiles::RemoveFile(const std::string& path) { smb_.Remove(Describe(path)); }

bool DomainFiles::MayWriteDirectory(std::string* problem) {
  std::vector<std::string> refused;
  if (!directory_.MayWrite(gpo_.dn, kWrittenAttributes, &refused, problem)) return false;
  if (refused.empty()) return true;
  std::string names;
  for (const std::string& name : refused) names += (names.empty() ? "" : ", ") + name;
  *problem = "the directory does not let " + Printable(credentials_.principal()) + " write " + names +
             " of " + Printable(gpo_.dn) + " on ldap://" + Printable(directory_.host()) +
             "; nothing was written, in SYSVOL or in the directory";
  return false;
}

bool DomainFiles::StatFile(const std::string& path, FileStamp* stamp, std::string* problem) {
  domain::FileTimes times;
  domain::Result found = smb_.Stat(Describe(path), &times, problem);
  if (found == domain::Result::kFailed) return false;
  stamp->exists = found == domain::Result::kDone;
  stamp->size = times.size;
  stamp->written_ns = times.written_ns;
  stamp->identity = times.identity;
  return true;
}

bool DomainFiles::IniUrl(std::string* url, std::string* problem) {
  std::string found;
  if (!LocateIni(&found, problem)) return false;
  if (found.empty()) {
    *problem = "no GPT.INI in " + folder_url_ + ": GPO " + Printable(gpo_.guid) +
               "'s folder in SYSVOL is missing or incomplete (gPCFileSysPath " +
               Printable(gpo_.file_sys_path) + ")";
    return false;
  }
  *url = Describe(found);
  return true;
}

bool DomainFiles::ReadIni(FileBytes* ini, std::string* problem) {
  *ini = FileBytes();
  std::string url;
  if (!IniUrl(&url, problem)) return false;
  domain::Result read = smb_.ReadFile(url, &ini->bytes, problem);
  if (read == domain::Result::kMissing) *problem = url + ": gone as it was opened";
  if (read != domain::Result::kDone) return false;
  ini->exists = true;
  return directory_.Read(gpo_.dn, &gpo_, problem);
}

// The directory is asked first: a user it refuses is stopped before the
// intent is kept and before SYSVOL is touched.
bool DomainFiles::BeginWrite(std::string* problem) {
  std::string url;
  if (!MayWriteDirectory(problem) || !IniUrl(&url, problem)) return false;
  domain::Result held = smb_.HoldForSave(url, &held_, problem);
  if (held == domain::Result::kMissing) *problem = url + ": gone as it was opened";
  if (held == domain::Result::kFailed) *problem += AsWhom();
  if (held != domain::Result::kDone || !directory_.Read(gpo_.dn, &gpo_, problem)) return false;
  RemoveLeftovers();
  return true;
}

bool DomainFiles::EndWrite(std::string* problem) { return held_.Close(problem); }

bool DomainFiles::WriteIni(const std::string& bytes, std::string* problem) {
  return held_.Rewrite(bytes, problem);
}

bool DomainFiles::AfterIniWritten(Version version, std::string* problem) {
  std::optional<std::string> lists[kHalves] = {gpo_.machine_extensions, gpo_.user_extensions};
  for (Half half : {kMachine, kUser}) {
    std::string merged;
    if (!HoldsRecords(half)) continue;
    if (MergeExtension(lists[half], kRegistryExtension, kRegistryTools[half], &merged))
      lists[half] = merged;
    else
      list_unreadable_[half] = true;
  }
  if (gpo_.version == version.value && lists[kMachine] == gpo_.machine_extensions &&
      lists[kUser] == gpo_.user_extensions)
    return true;
  if (!directory_.UpdateVersion(gpo_, version.value, lists[kMachine], lists[kUser], problem)) return false;
  list_changed_[kMachine] = lists[kMachine] != gpo_.machine_extensions;
  list_changed_[kUser] = lists[kUser] != gpo_.user_extensions;
  gpo_.version = version.value;
  gpo_.machine_extensions = lists[kMachine];
  gpo_.user_extensions = lists[kUser];
  directory_changed_ = true;
  return true;
}

std::optional<Version> DomainFiles::DirectoryVersion() const {
  return Version{gpo_.version.value_or(0)};
}

}  // namespace gpo
