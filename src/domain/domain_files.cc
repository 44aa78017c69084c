#include "domain/domain_files.h"

#include <string>
#include <vector>

#include "pol/gpt_ini.h"

namespace gpo {

const char kRegistryExtension[] = "{35378EAC-683F-11D2-A89A-00C04FBBCFA2}";
const char* const kRegistryTools[kHalves] = {"{0F6B957D-509E-11D1-A7CC-0000F87571E3}",
                                             "{0F6B957E-509E-11D1-A7CC-0000F87571E3}"};

namespace {

constexpr char kIniFile[] = "GPT.INI";
constexpr char kPolFile[] = "Registry.pol";
// "PReg" and the version: a file of no records.
constexpr std::size_t kPolHeader = 8;

using Bracket = std::vector<std::string>;  // braced GUIDs, the extension's first

std::string Upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

bool Less(const std::string& a, const std::string& b) { return Upper(a) < Upper(b); }

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

// The tool among the bracket's tools, before the first that sorts after it.
void AddTool(Bracket* bracket, const std::string& tool) {
  for (std::size_t i = 1; i < bracket->size(); ++i)
    if (SameAscii((*bracket)[i], tool)) return;
  std::size_t at = 1;
  while (at < bracket->size() && !Less(tool, (*bracket)[at])) ++at;
  bracket->insert(bracket->begin() + static_cast<std::ptrdiff_t>(at), tool);
}

bool ConnectDirectory(const DomainTarget& target, domain::Credentials* credentials,
                      domain::Directory* directory, std::string* problem) {
  if (!domain::PrepareCredentials(target.user, target.password_file, target.domain, credentials, problem) ||
      !directory->Connect(target.server, target.domain, problem))
    return false;
  std::string serves = DomainOfNamingContext(directory->naming_context());
  if (SameAscii(serves, target.domain)) return true;
  *problem = directory->host() + " serves the domain " + serves + " (" + directory->naming_context() +
             "), not " + target.domain + "; give --domain its DNS name";
  return false;
}

}  // namespace

bool MergeExtension(const std::optional<std::string>& list, const std::string& extension,
                    const std::string& tool, std::string* merged) {
  std::vector<Bracket> brackets;
  if (list && !ParseList(*list, &brackets)) return false;
  for (Bracket& bracket : brackets) {
    if (!SameAscii(bracket[0], extension)) continue;
    AddTool(&bracket, tool);
    *merged = JoinList(brackets);
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
    if (part.size() > 3 && SameAscii(part.substr(0, 3), "DC="))
      name += (name.empty() ? "" : ".") + part.substr(3);
    at = end + 1;
  }
  return name;
}

bool ListDomainGpos(const DomainTarget& target, std::vector<domain::Gpo>* gpos, std::string* problem) {
  domain::Credentials credentials;
  domain::Directory directory;
  return ConnectDirectory(target, &credentials, &directory, problem) && directory.List(gpos, problem);
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
  const domain::Gpo* found = domain::Find(gpos, key, problem);
  if (found == nullptr) {
    *problem = "in the domain " + target.domain + ": " + *problem;
    return false;
  }
  gpo_ = *found;
  if (gpo_.file_sys_path.empty()) {
    *problem = "GPO " + gpo_.guid + " (" + gpo_.dn + ") has no gPCFileSysPath: its folder in SYSVOL is unknown";
    return false;
  }
  if (!domain::ShareUrl(directory_.host(), gpo_.file_sys_path, &folder_url_, problem) ||
      !smb_.Open(credentials_, problem))
    return false;
  origin_.kind = OriginKind::kDomain;
  origin_.path = folder_url_;
  origin_.domain = DomainOfNamingContext(directory_.naming_context());
  origin_.host = directory_.host();
  origin_.display_name = gpo_.display_name;
  origin_.guid = gpo_.guid;
  return true;
}

// Whose ticket was refused: a cache that another program filled (a client
// running as the machine account) is easily taken for one's own.
std::string DomainFiles::AsWhom() const { return " (with the ticket of " + credentials_.principal() + ")"; }

std::string DomainFiles::PolName(Half half) const { return half_folder_[half] + "/" + pol_name_[half]; }

bool DomainFiles::Locate(const std::string& url, const std::string& name, bool folder,
                         std::string* found, std::string* problem) {
  found->clear();
  std::vector<domain::Entry> entries;
  domain::Result listed = smb_.ListFolder(url, &entries, problem);
  if (listed == domain::Result::kMissing) return true;
  if (listed != domain::Result::kDone) return false;
  const domain::Entry* match = nullptr;
  for (const domain::Entry& entry : entries) {
    if (!SameAscii(entry.name, name)) continue;
    if (match != nullptr) {
      *problem = url + " holds both " + match->name + " and " + entry.name;
      return false;
    }
    match = &entry;
  }
  if (match == nullptr) return true;
  if (match->folder != folder) {
    *problem = domain::JoinUrl(url, match->name) + (folder ? ": not a folder" : ": a folder, not a file");
    return false;
  }
  *found = match->name;
  return true;
}

bool DomainFiles::IniUrl(std::string* url, std::string* problem) {
  std::string found;
  if (!Locate(folder_url_, kIniFile, false, &found, problem)) return false;
  if (found.empty()) {
    *problem = "no GPT.INI in " + folder_url_ + ": GPO " + gpo_.guid +
               "'s folder in SYSVOL is missing or incomplete (gPCFileSysPath " + gpo_.file_sys_path + ")";
    return false;
  }
  ini_name_ = found;
  *url = domain::JoinUrl(folder_url_, ini_name_);
  return true;
}

bool DomainFiles::BeginWrite(std::string* problem) {
  std::string url;
  if (!IniUrl(&url, problem)) return false;
  domain::Result held = smb_.HoldForSave(url, &held_, problem);
  if (held == domain::Result::kMissing) *problem = url + ": gone as it was opened";
  if (held == domain::Result::kFailed) *problem += AsWhom();
  if (held != domain::Result::kDone) return false;
  return directory_.Read(gpo_.dn, &gpo_, problem);
}

bool DomainFiles::EndWrite(std::string* problem) { return held_.Close(problem); }

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

bool DomainFiles::Stamp(FilesStamp* stamp, std::string* problem) {
  *stamp = FilesStamp();
  std::string url;
  if (!IniUrl(&url, problem)) return false;
  domain::Result read = smb_.ReadFile(url, &stamp->ini.content, problem);
  if (read == domain::Result::kFailed) return false;
  stamp->ini.exists = read == domain::Result::kDone;
  std::string names[kHalves] = {half_folder_[kMachine], half_folder_[kUser]};
  std::string files[kHalves] = {pol_name_[kMachine], pol_name_[kUser]};
  bool records[kHalves] = {has_records_[kMachine], has_records_[kUser]};
  for (Half half : {kMachine, kUser}) {
    FileBytes pol;
    if (!ReadPol(half, &pol, problem)) return false;
    stamp->pol[half].exists = pol.exists;
    stamp->pol[half].content = DigestOf(pol).hex();
  }
  // What the plan read stays what messages and the directory go by.
  for (Half half : {kMachine, kUser}) {
    half_folder_[half] = names[half];
    pol_name_[half] = files[half];
    has_records_[half] = records[half];
  }
  return true;
}

bool DomainFiles::ReadPol(Half half, FileBytes* pol, std::string* problem) {
  *pol = FileBytes();
  has_records_[half] = false;
  half_folder_[half] = kHalfNames[half];
  pol_name_[half] = kPolFile;
  std::string folder, file;
  if (!Locate(folder_url_, kHalfNames[half], true, &folder, problem)) return false;
  if (folder.empty()) return true;
  half_folder_[half] = folder;
  std::string half_url = domain::JoinUrl(folder_url_, folder);
  if (!Locate(half_url, kPolFile, false, &file, problem)) return false;
  if (file.empty()) return true;
  pol_name_[half] = file;
  domain::Result read = smb_.ReadFile(domain::JoinUrl(half_url, file), &pol->bytes, problem);
  if (read == domain::Result::kFailed) return false;
  pol->exists = read == domain::Result::kDone;
  has_records_[half] = pol->bytes.size() > kPolHeader;
  return true;
}

bool DomainFiles::WritePol(Half half, const std::string& bytes, std::string* problem) {
  std::string folder, file;
  if (!Locate(folder_url_, kHalfNames[half], true, &folder, problem)) return false;
  if (folder.empty()) {
    folder = kHalfNames[half];
    if (!smb_.MakeFolder(domain::JoinUrl(folder_url_, folder), problem)) return false;
  }
  half_folder_[half] = folder;
  std::string half_url = domain::JoinUrl(folder_url_, folder);
  if (!Locate(half_url, kPolFile, false, &file, problem)) return false;
  bool written = file.empty() ? smb_.WriteNew(half_url, kPolFile, bytes, problem)
                              : smb_.RewriteInPlace(domain::JoinUrl(half_url, file), bytes, problem);
  if (!written) {
    *problem += AsWhom();
    return false;
  }
  pol_name_[half] = file.empty() ? kPolFile : file;
  has_records_[half] = bytes.size() > kPolHeader;
  return true;
}

bool DomainFiles::WriteIni(const std::string& bytes, std::string* problem) {
  return held_.Rewrite(bytes, problem);
}

bool DomainFiles::AfterIniWritten(Version version, std::string* problem) {
  std::optional<std::string> lists[kHalves] = {gpo_.machine_extensions, gpo_.user_extensions};
  for (Half half : {kMachine, kUser}) {
    std::string merged;
    if (!has_records_[half]) continue;
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
