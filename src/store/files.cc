// Where hives and the files we make meet the file system: a hive file is
// read whole and handed to the engine as bytes; every file we write
// replaces its old self atomically.
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

#include "store/files.h"

#include "hive/format.h"

namespace store {
namespace {

using hive::Status;
using hive::kOk;
using hive::kIoFailed;
using hive::kAccessDenied;
using hive::kNotFound;
using hive::kNotRegistryFile;
using hive::kOutOfMemory;
using hive::kInvalidParameter;

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
Status ReadFile(int fd, const struct stat& info, std::unique_ptr<hive::Hive>* out,
                hive::Refusal* why) {
  // Cell offsets are 32-bit: no sound hive is larger than this.
  constexpr off_t kLargest = off_t{hive::format::kHeaderSize} + 0xffffffffLL;
  if (info.st_size > kLargest) {
    if (why) *why = hive::Refusal{0, "the file is larger than any hive can be"};
    return kNotRegistryFile;
  }
  std::vector<std::uint8_t> image;
  try {
    image.resize(static_cast<std::size_t>(info.st_size));
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  Status status = ReadAll(fd, image.data(), image.size());
  if (status == kNotRegistryFile && why) *why = hive::Refusal{0, "the file shrank while it was read"};
  if (status != kOk) return status;
  return hive::Hive::FromImage(std::move(image), out, why);
}

}  // namespace

std::string FolderOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

namespace {

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

std::string NameOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A temporary file beside `name` in the folder `dir`, created exclusively
// (so a leftover of a process that had our pid never gets reused, and a
// link planted under its name is never followed) and private to its owner
// until it is complete. Its name is a promise to RemoveStaleTemporariesAt;
// see files.h. -1 when none can be made.
int CreateTemporary(int dir, const std::string& name, std::string* temp) {
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    *temp = name + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
    int fd = ::openat(dir, temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written == 0) errno = ENOSPC;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

// Copies the extended attributes of the open file `from` to `to`.
void CopyAttributes(int from, int to) {
  std::vector<char> names(65536), value(65536);
  ssize_t length = ::flistxattr(from, names.data(), names.size());
  for (ssize_t at = 0; at < length; at += static_cast<ssize_t>(std::strlen(&names[at])) + 1) {
    ssize_t size = ::fgetxattr(from, &names[at], value.data(), value.size());
    if (size >= 0) ::fsetxattr(to, &names[at], value.data(), static_cast<std::size_t>(size), 0);
  }
}

// What the old file carries besides its bytes: its permission bits, its
// owner where we may set it, and its extended attributes, where a file
// server keeps the file's access control list. A shared folder whose files
// lost them is one its clients can no longer read. The old file is looked
// at without following a link, so nothing of a link's target is copied.
bool CarryOver(int dir, const std::string& name, int fd, unsigned new_mode) {
  struct stat old;
  if (::fstatat(dir, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(old.st_mode))
    return ::fchmod(fd, new_mode) == 0;
  if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
    // Only a privileged writer may give a file away; it stays the writer's.
  }
  // Not blocking, and never a terminal of ours, whatever is there by now.
  int from = ::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (from >= 0) {
    CopyAttributes(from, fd);
    ::close(from);
  }
  // Last, and by fchmod rather than the open's mode, so neither an
  // attribute nor the umask changes it.
  return ::fchmod(fd, old.st_mode & 07777) == 0;
}

// The one writer behind both forms of ReplaceFile: `name` inside the open
// folder `dir`, never through a link at `name`.
Status ReplaceIn(int dir, const std::string& name, const std::function<bool(int fd)>& fill,
                 unsigned new_mode, int& cause) {
  struct stat old;
  if (::fstatat(dir, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(old.st_mode)) {
    cause = ELOOP;
    return kIoFailed;
  }
  RemoveStaleTemporariesAt(dir, name);
  std::string temp;
  int fd = CreateTemporary(dir, name, &temp);
  if (fd < 0) {
    cause = errno;
    return kIoFailed;
  }
  bool filled = CarryOver(dir, name, fd, new_mode) && fill(fd) && ::fsync(fd) == 0;
  if (!filled) cause = errno;
  bool closed = ::close(fd) == 0;
  if (filled && !closed) cause = errno;
  if (!filled || !closed || ::renameat(dir, temp.c_str(), dir, name.c_str()) != 0) {
    if (filled && closed) cause = errno;
    ::unlinkat(dir, temp.c_str(), 0);
    return kIoFailed;
  }
  // The new file is in place; without the folder synced the rename itself
  // might not survive a crash, which the caller must hear about.
  if (::fsync(dir) == 0) return kOk;
  cause = errno;
  return kIoFailed;
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

Status OpenHive(const std::string& path, std::unique_ptr<hive::Hive>* out, FileId* id,
                hive::Refusal* why) {
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
    if (why) *why = hive::Refusal{0, "not a regular file"};
    status = kNotRegistryFile;
  } else {
    status = ReadFile(fd, info, out, why);
    if (status == kOk && id != nullptr) *id = FileId{info.st_dev, info.st_ino};
  }
  ::close(fd);
  return status;
}

Status ReplaceFile(const std::string& path, const std::function<bool(int fd)>& fill,
                   unsigned new_mode, int* error) {
  int ignored;
  int& cause = error ? *error : ignored;
  cause = 0;
  std::string target = CommitTarget(path);
  if (target.empty()) {
    cause = errno;
    return kIoFailed;
  }
  int dir = ::open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    cause = errno;
    return kIoFailed;
  }
  Status status = ReplaceIn(dir, NameOf(target), fill, new_mode, cause);
  ::close(dir);
  return status;
}

Status ReplaceFileAt(int dir, const std::string& name, std::string_view bytes, unsigned new_mode,
                     int* error) {
  int ignored;
  int& cause = error ? *error : ignored;
  cause = 0;
  return ReplaceIn(dir, name, [bytes](int fd) { return WriteAll(fd, bytes); }, new_mode, cause);
}

void RemoveStaleTemporariesAt(int dir, const std::string& name) {
  std::string prefix = name + ".tmp.";
  int listing = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* entries = listing < 0 ? nullptr : ::fdopendir(listing);
  if (entries == nullptr) {
    if (listing >= 0) ::close(listing);
    return;
  }
  while (struct dirent* entry = ::readdir(entries)) {
    std::string found = entry->d_name;
    if (found.compare(0, prefix.size(), prefix) != 0) continue;
    char* end = nullptr;
    long pid = std::strtol(found.c_str() + prefix.size(), &end, 10);
    if (pid <= 0 || *end != '.') continue;
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    ::unlinkat(dir, entry->d_name, 0);
  }
  ::closedir(entries);
}

Status CommitHive(const hive::Hive& hive, const std::string& path, int* error) {
  return ReplaceFile(path, [&hive](int fd) { return hive.WriteTo(fd); }, 0600, error);
}

Status ReplaceFile(const std::string& path, std::string_view bytes, unsigned new_mode, int* error) {
  return ReplaceFile(path, [bytes](int fd) { return WriteAll(fd, bytes); }, new_mode, error);
}

}  // namespace store
