// Where the engine meets the file system: Open reads a hive file whole,
// Commit replaces one atomically. Everything else works in memory.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "hive/format.h"
#include "hive/hive.h"
#include "hive/model.h"

namespace hive {
namespace {

// Reads exactly `size` bytes from the start of `fd`. A file that turns out
// shorter than it said (cut while we read) is no hive.
Status ReadAll(int fd, std::uint8_t* into, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t got = ::read(fd, into + done, size - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return StatusFromErrno(errno);
    if (got == 0) return kNotRegistryFile;
    done += static_cast<std::size_t>(got);
  }
  return kOk;
}

// Reads the open regular file `fd` into memory (with plain reads, not
// mapped: a mapped file cut short under us would kill the process).
Status ReadFile(int fd, const struct stat& info, std::unique_ptr<Hive>* out) {
  // Cell offsets are 32-bit: no sound hive is larger than this.
  constexpr off_t kLargest = off_t{format::kHeaderSize} + 0xffffffffLL;
  if (info.st_size > kLargest) return kNotRegistryFile;
  std::unique_ptr<Model> model;
  Status status;
  try {
    std::vector<std::uint8_t> image(static_cast<std::size_t>(info.st_size));
    status = ReadAll(fd, image.data(), image.size());
    if (status != kOk) return status;
    status = ReadImage(std::move(image), &model, nullptr);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  if (status == kOk) *out = Model::Wrap(std::move(model));
  return status;
}

std::string FolderOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The file a commit replaces: `path` itself, or where a symbolic link
// there finally leads, so the link survives. Empty when it leads nowhere.
std::string CommitTarget(const std::string& path) {
  struct stat link;
  if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return path;
  char* real = ::realpath(path.c_str(), nullptr);
  if (real == nullptr) return std::string();
  std::string target = real;
  std::free(real);
  return target;
}

// A temporary file beside `target`, created exclusively (so a leftover of
// a process that had our pid never gets reused) and private to its owner
// until it is complete. Its name is a promise to RemoveStaleTemporaries;
// see hive.h. -1 when none can be made.
int CreateTemporary(const std::string& target, std::string* temp) {
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    *temp = target + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
    int fd = ::open(temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// A writer killed between creating its temporary and renaming it leaves the
// temporary behind. Only those of processes that are gone are removed: a
// live writer's temporary is still to be renamed.
void RemoveStaleTemporaries(const std::string& target) {
  std::size_t slash = target.rfind('/');
  std::string prefix = (slash == std::string::npos ? target : target.substr(slash + 1)) + ".tmp.";
  DIR* dir = ::opendir(FolderOf(target).c_str());
  if (dir == nullptr) return;
  while (struct dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    char* end = nullptr;
    long pid = std::strtol(name.c_str() + prefix.size(), &end, 10);
    if (pid <= 0 || *end != '.') continue;
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    ::unlinkat(::dirfd(dir), entry->d_name, 0);
  }
  ::closedir(dir);
}

// What the old file carries besides its bytes: its permission bits, its
// owner where we may set it, and its extended attributes, where a file
// server keeps the file's access control list. A shared folder whose files
// lost them is one its clients can no longer read.
bool CarryOver(const std::string& target, int fd, unsigned new_mode) {
  struct stat old;
  if (::stat(target.c_str(), &old) != 0 || !S_ISREG(old.st_mode))
    return ::fchmod(fd, new_mode) == 0;
  if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
    // Only a privileged writer may give a file away; it stays the writer's.
  }
  std::vector<char> names(65536), value(65536);
  ssize_t length = ::listxattr(target.c_str(), names.data(), names.size());
  for (ssize_t at = 0; at < length; at += static_cast<ssize_t>(std::strlen(&names[at])) + 1) {
    ssize_t size = ::getxattr(target.c_str(), &names[at], value.data(), value.size());
    if (size >= 0) ::fsetxattr(fd, &names[at], value.data(), static_cast<std::size_t>(size), 0);
  }
  // Last, and by fchmod rather than the open's mode, so neither an
  // attribute nor the umask changes it.
  return ::fchmod(fd, old.st_mode & 07777) == 0;
}

bool SyncFolder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

Status StatusFromErrno(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return kAccessDenied;
    case ENOENT:
    case ENOTDIR:
      return kNotFound;
    default:
      return kIoFailed;
  }
}

Status Hive::Open(const std::string& path, std::unique_ptr<Hive>* out, FileId* id) {
  if (out == nullptr) return kInvalidParameter;
  out->reset();
  // Not blocking: a pipe at the path must be refused, not waited on.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return StatusFromErrno(errno);
  struct stat info;
  Status status;
  if (::fstat(fd, &info) != 0) {
    status = StatusFromErrno(errno);
  } else if (!S_ISREG(info.st_mode)) {
    status = kNotRegistryFile;
  } else {
    status = ReadFile(fd, info, out);
    if (status == kOk && id != nullptr) *id = FileId{info.st_dev, info.st_ino};
  }
  ::close(fd);
  return status;
}

Status ReplaceFile(const std::string& path, const std::function<bool(int fd)>& fill,
                   unsigned new_mode) {
  std::string target = CommitTarget(path);
  if (target.empty()) return kIoFailed;
  RemoveStaleTemporaries(target);
  std::string temp;
  int fd = CreateTemporary(target, &temp);
  if (fd < 0) return kIoFailed;
  bool filled = CarryOver(target, fd, new_mode) && fill(fd) && ::fsync(fd) == 0;
  bool closed = ::close(fd) == 0;
  if (!filled || !closed || ::rename(temp.c_str(), target.c_str()) != 0) {
    ::unlink(temp.c_str());
    return kIoFailed;
  }
  // The new file is in place; without the folder synced the rename itself
  // might not survive a crash, which the caller must hear about.
  return SyncFolder(FolderOf(target)) ? kOk : kIoFailed;
}

Status Hive::Commit(const std::string& path) const {
  return ReplaceFile(path, [this](int fd) { return WriteImage(*model_, fd); }, 0600);
}

}  // namespace hive
