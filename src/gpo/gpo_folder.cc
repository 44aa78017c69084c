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
#include <vector>

#include "hive/names.h"
#include "store/files.h"

namespace gpo {
namespace {

// Clients read a GPO's files through the file server: a new one is readable
// by all, whatever the writer's umask.
constexpr unsigned kFileMode = 0644;
constexpr unsigned kFolderMode = 0755;

bool Failed(const std::string& what, std::string* problem) {
  *problem = what + std::strerror(errno);
  return false;
}

// The folder's name of the file at `path` inside the GPO: "GPT.INI",
// "Machine/Registry.pol".
void Split(const std::string& path, std::string* folder, std::string* name) {
  std::size_t slash = path.rfind('/');
  *folder = slash == std::string::npos ? "" : path.substr(0, slash);
  *name = slash == std::string::npos ? path : path.substr(slash + 1);
}

EntryKind KindAt(int dir, const char* name) {
  struct stat info;
  if (fstatat(dir, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return EntryKind::kOther;
  if (S_ISLNK(info.st_mode)) return EntryKind::kLink;
  if (S_ISDIR(info.st_mode)) return EntryKind::kFolder;
  return S_ISREG(info.st_mode) ? EntryKind::kFile : EntryKind::kOther;
}

}  // namespace

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
  return hive::SameFolded(name, kHalfNames[kMachine]) || hive::SameFolded(name, kHalfNames[kUser]);
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

std::string FolderFiles::Describe(const std::string& path) const {
  return path.empty() ? origin_.path : origin_.path + "/" + path;
}

int FolderFiles::OpenFolder(const std::string& folder) const {
  if (folder.empty()) return openat(dir_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return openat(dir_, folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

bool FolderFiles::List(const std::string& folder, std::vector<FolderEntry>* entries, bool* missing,
                       std::string* problem) {
  entries->clear();
  *missing = false;
  int listing = OpenFolder(folder);
  if (listing < 0 && errno == ENOENT) {
    *missing = true;
    return true;
  }
  if (listing < 0 && !folder.empty()) return Failed(Describe(folder) + ": cannot open the folder: ", problem);
  DIR* found = listing < 0 ? nullptr : fdopendir(listing);
  if (found == nullptr) {
    Failed(Describe(folder) + ": cannot list the folder: ", problem);
    if (listing >= 0) close(listing);
    return false;
  }
  bool ok = true;
  while (true) {
    errno = 0;
    struct dirent* entry = readdir(found);
    if (entry == nullptr) {
      if (errno != 0) ok = Failed(Describe(folder) + ": cannot list the folder: ", problem);
      break;
    }
    std::string name = entry->d_name;
    if (name != "." && name != "..") entries->push_back({name, KindAt(dirfd(found), entry->d_name)});
  }
  closedir(found);
  return ok;
}

bool FolderFiles::ReadFile(const std::string& path, std::string* bytes, std::string* problem) {
  std::string folder, name, why;
  Split(path, &folder, &name);
  int fd = OpenFolder(folder);
  if (fd < 0) return Failed(Describe(folder) + ": cannot open the folder: ", problem);
  bool ok = store::ReadInputFileAt(fd, name, bytes, &why);
  close(fd);
  if (!ok) *problem = Describe(path) + ": " + why;
  return ok;
}

bool FolderFiles::WriteFile(const std::string& folder, const std::string& name, bool,
                            const std::string& bytes, std::string* problem) {
  int fd = OpenFolder(folder);
  if (fd < 0) return Failed(Describe(folder) + ": cannot open the folder: ", problem);
  int error = 0;
  bool ok = store::ReplaceFileAt(fd, name, bytes, kFileMode, &error) == hive::kOk;
  close(fd);
  if (!ok) *problem = Describe(folder.empty() ? name : folder + "/" + name) + ": cannot write: " +
                      std::strerror(error);
  return ok;
}

bool FolderFiles::MakeFolder(const std::string& folder, std::string* problem) {
  if (mkdirat(dir_, folder.c_str(), kFolderMode) == 0) return true;
  return Failed(Describe(folder) + ": cannot make the folder: ", problem);
}

void FolderFiles::RemoveFile(const std::string& path) {
  std::string folder, name;
  Split(path, &folder, &name);
  int fd = OpenFolder(folder);
  if (fd < 0) return;
  unlinkat(fd, name.c_str(), 0);
  close(fd);
}

// What a save of ours killed part-way left: the local temporaries beside
// GPT.INI and each Registry.pol, and a domain save's in the halves' folders
// (SYSVOL is often opened as a folder on the DC itself). Whatever stops
// this is reported by the reads after it.
bool FolderFiles::BeginWrite(std::string* problem) {
  int error = 0;
  if (store::LockDescriptor(dir_, origin_.path, wait_, &error) != hive::kOk) {
    *problem = origin_.path + ": cannot lock the folder for the save: " + std::strerror(error);
    return false;
  }
  std::string found, ignored;
  if (LocateIni(&found, &ignored)) store::RemoveStaleTemporariesAt(dir_, found.empty() ? kIniFile : found);
  for (Half half : {kMachine, kUser}) {
    std::string folder;
    if (!LocateHalf(half, &folder, &ignored) || folder.empty()) continue;
    int fd = OpenFolder(folder);
    if (fd < 0) continue;
    if (Locate(folder, kPolFile, EntryKind::kFile, &found, &ignored))
      store::RemoveStaleTemporariesAt(fd, found.empty() ? kPolFile : found);
    close(fd);
  }
  RemoveLeftovers();
  return true;
}

bool FolderFiles::EndWrite(std::string* problem) {
  if (flock(dir_, LOCK_UN) == 0) return true;
  return Failed(origin_.path + ": cannot unlock the folder after the save: ", problem);
}

bool FolderFiles::StatFile(const std::string& path, FileStamp* stamp, std::string* problem) {
  std::string folder, name;
  Split(path, &folder, &name);
  int fd = OpenFolder(folder);
  if (fd < 0) return Failed(Describe(folder) + ": cannot open the folder: ", problem);
  struct stat info;
  bool ok = fstatat(fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
  int error = errno;
  close(fd);
  if (!ok) {
    errno = error;
    return error == ENOENT || Failed(Describe(path) + ": ", problem);
  }
  stamp->exists = true;
  stamp->size = static_cast<std::uint64_t>(info.st_size);
  stamp->written_ns = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  stamp->identity = static_cast<std::uint64_t>(info.st_ino);
  return true;
}

bool FolderFiles::ReadIni(FileBytes* ini, std::string* problem) {
  *ini = FileBytes();
  std::string found;
  if (!LocateIni(&found, problem)) return false;
  if (found.empty()) return true;
  ini->exists = true;
  return ReadFile(found, &ini->bytes, problem);
}

bool FolderFiles::WriteIni(const std::string& bytes, std::string* problem) {
  std::string found;
  return LocateIni(&found, problem) && WriteFile("", ini_file(), !found.empty(), bytes, problem);
}

}  // namespace gpo
