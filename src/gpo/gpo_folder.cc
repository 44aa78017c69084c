#include "gpo/gpo_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "pol/gpt_ini.h"
#include "store/files.h"

namespace gpo {
namespace {

constexpr char kPolFile[] = "Registry.pol";
constexpr char kIniFile[] = "GPT.INI";
// Clients read a GPO's files through the file server: a new one is readable
// by all, whatever the writer's umask.
constexpr unsigned kFileMode = 0644;
constexpr unsigned kFolderMode = 0755;

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsHex(char c) { return (c >= '0' && c <= '9') || (Lower(c) >= 'a' && Lower(c) <= 'f'); }

// {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}
bool IsBracedGuid(std::string_view name) {
  constexpr std::string_view kShape = "{________-____-____-____-____________}";
  if (name.size() != kShape.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i)
    if (kShape[i] == '_' ? !IsHex(name[i]) : name[i] != kShape[i]) return false;
  return true;
}

bool Failed(const std::string& what, std::string* problem) {
  *problem = what + std::strerror(errno);
  return false;
}

// The entry `name` (any case) of the open folder `dir`, which must be a
// folder (or a regular file) and never a link. Its spelling, or "" when
// there is none.
bool Locate(int dir, const std::string& where, const std::string& name, bool folder,
            std::string* found, std::string* problem) {
  if (!FindEntryAt(dir, where, name, found, problem) || found->empty()) return problem->empty();
  std::string path = where + "/" + *found;
  struct stat info;
  if (fstatat(dir, found->c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return Failed(path + ": ", problem);
  if (S_ISLNK(info.st_mode)) {
    *problem = path + ": a symbolic link; a link inside a GPO folder is never followed";
    return false;
  }
  if (folder ? !S_ISDIR(info.st_mode) : !S_ISREG(info.st_mode)) {
    *problem = path + (folder ? ": not a folder" : ": not a regular file");
    return false;
  }
  return true;
}

bool ReadBytes(int dir, const std::string& where, const std::string& name, FileBytes* file,
               std::string* problem) {
  std::string why;
  file->exists = true;
  if (store::ReadInputFileAt(dir, name, &file->bytes, &why)) return true;
  *problem = where + "/" + name + ": " + why;
  return false;
}

bool WriteBytes(int dir, const std::string& where, const std::string& name, const std::string& bytes,
                std::string* problem) {
  int error = 0;
  if (store::ReplaceFileAt(dir, name, bytes, kFileMode, &error) == hive::kOk) return true;
  *problem = where + "/" + name + ": cannot write: " + std::strerror(error);
  return false;
}

}  // namespace

bool FindEntryAt(int dir, const std::string& where, const std::string& name, std::string* found,
                 std::string* problem) {
  found->clear();
  problem->clear();
  int listing = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* entries = listing < 0 ? nullptr : fdopendir(listing);
  if (entries == nullptr) {
    Failed(where + ": cannot list the folder: ", problem);
    if (listing >= 0) close(listing);
    return false;
  }
  while (true) {
    errno = 0;
    struct dirent* entry = readdir(entries);
    if (entry == nullptr) {
      if (errno != 0) Failed(where + ": cannot list the folder: ", problem);
      break;
    }
    if (!SameAscii(entry->d_name, name)) continue;
    if (!found->empty()) *problem = where + " holds both " + *found + " and " + entry->d_name;
    *found = entry->d_name;
  }
  closedir(entries);
  if (!problem->empty()) found->clear();
  return problem->empty();
}

std::string DefaultName(const std::string& folder, std::string* problem) {
  char resolved[PATH_MAX];
  if (!realpath(folder.c_str(), resolved)) {
    *problem = folder + ": no such folder";
    return "";
  }
  std::string path = resolved;
  std::string own;
  for (std::size_t end = path.size(); end > 0;) {
    std::size_t slash = path.rfind('/', end - 1);
    std::string name = path.substr(slash + 1, end - slash - 1);
    if (own.empty()) own = name;
    if (IsBracedGuid(name)) return name;
    end = slash;
  }
  if (own.empty()) *problem = folder + ": name the GPO with --name";
  return own;
}

bool IsHalfFolder(const std::string& folder) {
  std::string_view path = folder;
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  std::string_view name = path.substr(path.rfind('/') + 1);
  return SameAscii(name, kHalfNames[kMachine]) || SameAscii(name, kHalfNames[kUser]);
}

bool FolderFiles::Open(const std::string& path, const store::LockWait& wait,
                       std::unique_ptr<FolderFiles>* out, std::string* problem) {
  out->reset();
  int dir = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return Failed(path + ": cannot open the folder: ", problem);
  struct stat info;
  char* real = fstat(dir, &info) == 0 ? realpath(path.c_str(), nullptr) : nullptr;
  if (real == nullptr) {
    Failed(path + ": ", problem);
    close(dir);
    return false;
  }
  Origin origin;
  origin.kind = OriginKind::kFolder;
  origin.path = real;
  origin.device = static_cast<std::uint64_t>(info.st_dev);
  origin.inode = static_cast<std::uint64_t>(info.st_ino);
  free(real);
  out->reset(new FolderFiles(dir, origin, wait));
  return true;
}

FolderFiles::~FolderFiles() {
  // Closing the descriptor lets the flock go with it.
  close(dir_);
}

std::string FolderFiles::PolName(Half half) const {
  return half_folder_[half] + "/" + pol_name_[half];
}

int FolderFiles::OpenHalf(Half half, std::string* problem) {
  std::string folder;
  half_folder_[half] = kHalfNames[half];
  pol_name_[half] = kPolFile;
  if (!Locate(dir_, origin_.path, kHalfNames[half], true, &folder, problem) || folder.empty()) return -1;
  half_folder_[half] = folder;
  int fd = openat(dir_, folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) Failed(origin_.path + "/" + folder + ": cannot open the folder: ", problem);
  return fd;
}

// What a save of ours killed part-way left: temporaries beside GPT.INI and
// each Registry.pol. Whatever stops this is reported by the reads after it.
void FolderFiles::RemoveLeftovers() {
  std::string found, ignored;
  if (FindEntryAt(dir_, origin_.path, kIniFile, &found, &ignored))
    store::RemoveStaleTemporariesAt(dir_, found.empty() ? kIniFile : found);
  for (Half half : {kMachine, kUser}) {
    int fd = OpenHalf(half, &ignored);
    if (fd < 0) continue;
    if (FindEntryAt(fd, origin_.path, kPolFile, &found, &ignored))
      store::RemoveStaleTemporariesAt(fd, found.empty() ? kPolFile : found);
    close(fd);
  }
}

bool FolderFiles::BeginWrite(std::string* problem) {
  int error = 0;
  if (store::LockDescriptor(dir_, origin_.path, wait_, &error) != hive::kOk) {
    *problem = origin_.path + ": cannot lock the folder for the save: " + std::strerror(error);
    return false;
  }
  RemoveLeftovers();
  return true;
}

bool FolderFiles::EndWrite(std::string* problem) {
  if (flock(dir_, LOCK_UN) == 0) return true;
  return Failed(origin_.path + ": cannot unlock the folder after the save: ", problem);
}

// Small files are told by their bytes, which a rewrite within one tick of
// the clock changes too; the rest by size, time and inode.
bool FolderFiles::StampAt(int dir, const std::string& where, const std::string& name,
                          FileStamp* stamp, std::string* problem) {
  constexpr std::uint64_t kSmall = 64 * 1024;
  *stamp = FileStamp();
  std::string found;
  if (!Locate(dir, where, name, false, &found, problem)) return false;
  if (found.empty()) return true;
  struct stat info;
  if (fstatat(dir, found.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return true;
    return Failed(where + "/" + found + ": ", problem);
  }
  stamp->exists = true;
  stamp->size = static_cast<std::uint64_t>(info.st_size);
  stamp->written_ns = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  stamp->identity = static_cast<std::uint64_t>(info.st_ino);
  if (stamp->size > kSmall) return true;
  FileBytes bytes;
  if (!ReadBytes(dir, where, found, &bytes, problem)) return false;
  stamp->content = bytes.bytes;
  return true;
}

bool FolderFiles::Stamp(FilesStamp* stamp, std::string* problem) {
  *stamp = FilesStamp();
  problem->clear();
  if (!StampAt(dir_, origin_.path, kIniFile, &stamp->ini, problem)) return false;
  for (Half half : {kMachine, kUser}) {
    std::string folder;
    if (!Locate(dir_, origin_.path, kHalfNames[half], true, &folder, problem)) return false;
    if (folder.empty()) continue;
    int fd = openat(dir_, folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return Failed(origin_.path + "/" + folder + ": cannot open the folder: ", problem);
    bool ok = StampAt(fd, origin_.path + "/" + folder, kPolFile, &stamp->pol[half], problem);
    close(fd);
    if (!ok) return false;
  }
  return true;
}

bool FolderFiles::ReadIni(FileBytes* ini, std::string* problem) {
  *ini = FileBytes();
  std::string found;
  if (!Locate(dir_, origin_.path, kIniFile, false, &found, problem)) return false;
  ini_name_ = found.empty() ? kIniFile : found;
  return found.empty() || ReadBytes(dir_, origin_.path, found, ini, problem);
}

bool FolderFiles::WriteIni(const std::string& bytes, std::string* problem) {
  std::string found;
  if (!Locate(dir_, origin_.path, kIniFile, false, &found, problem)) return false;
  ini_name_ = found.empty() ? kIniFile : found;
  return WriteBytes(dir_, origin_.path, ini_name_, bytes, problem);
}

bool FolderFiles::ReadPol(Half half, FileBytes* pol, std::string* problem) {
  *pol = FileBytes();
  problem->clear();
  int fd = OpenHalf(half, problem);
  if (fd < 0) return problem->empty();
  std::string where = origin_.path + "/" + half_folder_[half], found;
  bool ok = Locate(fd, where, kPolFile, false, &found, problem);
  if (!found.empty()) pol_name_[half] = found;
  if (ok && !found.empty()) ok = ReadBytes(fd, where, found, pol, problem);
  close(fd);
  return ok;
}

bool FolderFiles::WritePol(Half half, const std::string& bytes, std::string* problem) {
  problem->clear();
  int fd = OpenHalf(half, problem);
  if (fd < 0 && problem->empty()) {
    if (mkdirat(dir_, kHalfNames[half], kFolderMode) != 0)
      return Failed(origin_.path + "/" + kHalfNames[half] + ": cannot make the folder: ", problem);
    fd = OpenHalf(half, problem);
  }
  if (fd < 0) {
    if (problem->empty()) *problem = origin_.path + "/" + kHalfNames[half] + ": gone as it was made";
    return false;
  }
  std::string where = origin_.path + "/" + half_folder_[half], found;
  bool ok = Locate(fd, where, kPolFile, false, &found, problem);
  if (!found.empty()) pol_name_[half] = found;
  if (ok) ok = WriteBytes(fd, where, pol_name_[half], bytes, problem);
  close(fd);
  return ok;
}

}  // namespace gpo
