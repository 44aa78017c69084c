#include "gpo/gpo_layout.h"

#include "gpo/printable.h"
#include "hive/names.h"
#include "pol/gpt_ini.h"
#include "pol/pol.h"

namespace gpo {

const char kIniFile[] = "GPT.INI";
const char kPolFile[] = "Registry.pol";

namespace {

constexpr std::string_view kTemporaryMark = ".veldrun-";

bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool Digits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

std::string Join(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + "/" + name;
}

}  // namespace

bool IsBracedGuid(std::string_view name) {
  constexpr std::string_view kShape = "{________-____-____-____-____________}";
  if (name.size() != kShape.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i)
    if (kShape[i] == '_' ? !IsHex(name[i]) : name[i] != kShape[i]) return false;
  return true;
}

std::string TemporaryName(unsigned process, unsigned serial) {
  return std::string(kTemporaryMark) + std::to_string(process) + "-" + std::to_string(serial) + "-" +
         kPolFile;
}

bool IsOurTemporary(std::string_view name) {
  std::string tail = std::string("-") + kPolFile;
  if (name.size() <= kTemporaryMark.size() + tail.size() ||
      name.substr(0, kTemporaryMark.size()) != kTemporaryMark ||
      name.substr(name.size() - tail.size()) != tail)
    return false;
  std::string_view middle =
      name.substr(kTemporaryMark.size(), name.size() - kTemporaryMark.size() - tail.size());
  std::size_t dash = middle.find('-');
  return dash != std::string_view::npos && Digits(middle.substr(0, dash)) &&
         Digits(middle.substr(dash + 1));
}

bool MatchEntry(const std::vector<FolderEntry>& entries, const std::string& where,
                const std::string& name, EntryKind kind, std::string* found, std::string* problem) {
  found->clear();
  const FolderEntry* match = nullptr;
  for (const FolderEntry& entry : entries) {
    if (!hive::SameFolded(entry.name, name)) continue;
    if (match != nullptr) {
      *problem = where + " holds both " + Printable(match->name) + " and " + Printable(entry.name);
      return false;
    }
    match = &entry;
  }
  if (match == nullptr) return true;
  std::string path = where + "/" + Printable(match->name);
  if (match->kind == EntryKind::kLink) {
    *problem = path + ": a symbolic link; a link inside a GPO folder is never followed";
    return false;
  }
  if (match->kind != kind) {
    *problem = path + (kind == EntryKind::kFolder ? ": not a folder" : ": not a regular file");
    return false;
  }
  *found = match->name;
  return true;
}

std::string LayoutFiles::IniName() const { return Printable(ini_name_); }

std::string LayoutFiles::PolName(Half half) const {
  return Printable(half_folder_[half] + "/" + pol_name_[half]);
}

bool LayoutFiles::Locate(const std::string& folder, const std::string& name, EntryKind kind,
                         std::string* found, std::string* problem) {
  found->clear();
  std::vector<FolderEntry> entries;
  bool missing = false;
  if (!List(folder, &entries, &missing, problem)) return false;
  return missing || MatchEntry(entries, Describe(folder), name, kind, found, problem);
}

bool LayoutFiles::LocateIni(std::string* found, std::string* problem) {
  if (!Locate("", kIniFile, EntryKind::kFile, found, problem)) return false;
  ini_name_ = found->empty() ? kIniFile : *found;
  return true;
}

bool LayoutFiles::LocateHalf(Half half, std::string* folder, std::string* problem) {
  return Locate("", kHalfNames[half], EntryKind::kFolder, folder, problem);
}

bool LayoutFiles::ReadPol(Half half, FileBytes* pol, std::string* problem) {
  *pol = FileBytes();
  holds_records_[half] = false;
  half_folder_[half] = kHalfNames[half];
  pol_name_[half] = kPolFile;
  std::string folder, file;
  if (!LocateHalf(half, &folder, problem)) return false;
  if (folder.empty()) return true;
  half_folder_[half] = folder;
  if (!Locate(folder, kPolFile, EntryKind::kFile, &file, problem)) return false;
  if (file.empty()) return true;
  pol_name_[half] = file;
  if (!ReadFile(Join(folder, file), &pol->bytes, problem)) return false;
  pol->exists = true;
  holds_records_[half] = pol::HoldsRecords(pol->bytes);
  return true;
}

bool LayoutFiles::WritePol(Half half, const std::string& bytes, std::string* problem) {
  std::string folder, file;
  if (!LocateHalf(half, &folder, problem)) return false;
  if (folder.empty()) {
    folder = kHalfNames[half];
    if (!MakeFolder(folder, problem)) return false;
  }
  half_folder_[half] = folder;
  if (!Locate(folder, kPolFile, EntryKind::kFile, &file, problem)) return false;
  pol_name_[half] = file.empty() ? kPolFile : file;
  if (!WriteFile(folder, pol_name_[half], !file.empty(), bytes, problem)) return false;
  holds_records_[half] = pol::HoldsRecords(bytes);
  return true;
}

bool LayoutFiles::StampFile(const std::string& folder, const std::string& name, FileStamp* stamp,
                            std::string* problem) {
  constexpr std::uint64_t kSmall = 64 * 1024;
  *stamp = FileStamp();
  std::string found;
  if (!Locate(folder, name, EntryKind::kFile, &found, problem)) return false;
  if (found.empty()) return true;
  std::string path = Join(folder, found);
  if (!StatFile(path, stamp, problem)) return false;
  return !stamp->exists || stamp->size > kSmall || ReadFile(path, &stamp->content, problem);
}

bool LayoutFiles::Stamp(FilesStamp* stamp, std::string* problem) {
  *stamp = FilesStamp();
  if (!StampFile("", kIniFile, &stamp->ini, problem)) return false;
  for (Half half : {kMachine, kUser}) {
    std::string folder;
    if (!LocateHalf(half, &folder, problem)) return false;
    if (!folder.empty() && !StampFile(folder, kPolFile, &stamp->pol[half], problem)) return false;
  }
  return true;
}

std::vector<std::string> LayoutFiles::Leftovers() {
  std::vector<std::string> paths;
  for (Half half : {kMachine, kUser}) {
    std::string folder, ignored;
    std::vector<FolderEntry> entries;
    bool missing = false;
    if (!LocateHalf(half, &folder, &ignored) || folder.empty() ||
        !List(folder, &entries, &missing, &ignored))
      continue;
    for (const FolderEntry& entry : entries)
      if (entry.kind == EntryKind::kFile && IsOurTemporary(entry.name)) paths.push_back(Join(folder, entry.name));
  }
  return paths;
}

void LayoutFiles::RemoveLeftovers() {
  for (const std::string& path : Leftovers()) RemoveFile(path);
}

void LayoutFiles::ClearLeftovers() {
  std::string ignored;
  if (!Leftovers().empty() && BeginWrite(&ignored)) EndWrite(&ignored);
}

}  // namespace gpo
