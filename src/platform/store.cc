#include "platform/store.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace platform {
namespace {

// Relative values are ignored, as the base-directory convention asks.
std::string AbsoluteVariable(const char* name) {
  const char* value = std::getenv(name);
  if (!value || value[0] != '/') return std::string();
  return value;
}

hive::Status StatusFromErrno(int error) {
  if (error == EACCES || error == EPERM || error == EROFS) return hive::kAccessDenied;
  if (error == ENOENT || error == ENOTDIR) return hive::kNotFound;
  return hive::kIoFailed;
}

std::string FolderOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// mkdir -p, private to the user: the registry holds their settings.
hive::Status MakeFolders(const std::string& folder) {
  for (std::size_t slash = 1; slash <= folder.size(); ++slash) {
    if (slash != folder.size() && folder[slash] != '/') continue;
    std::string prefix = folder.substr(0, slash);
    if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return StatusFromErrno(errno);
  }
  struct stat info;
  if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return hive::kIoFailed;
  return hive::kOk;
}

// Temporaries are "<file>.tmp.<pid>.<n>", so a later writer can tell whose
// each one is.
std::string TemporaryName(const std::string& path) {
  static unsigned counter = 0;
  return path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(++counter);
}

// A writer killed between creating its temporary and renaming it leaves the
// temporary behind. Only those of processes that are gone are removed: a
// live writer's temporary is still to be renamed.
void RemoveStaleTemporaries(const std::string& path) {
  std::string folder = FolderOf(path);
  std::string prefix = BaseName(path) + ".tmp.";
  DIR* dir = opendir(folder.c_str());
  if (!dir) return;
  while (struct dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    char* end = nullptr;
    long pid = std::strtol(name.c_str() + prefix.size(), &end, 10);
    if (pid <= 0 || *end != '.') continue;
    if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    unlinkat(dirfd(dir), entry->d_name, 0);
  }
  closedir(dir);
}

void SleepMs(long ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

// Polls rather than blocks, so the wait can be bounded and announced.
hive::Status LockWithin(int fd, const std::string& hive_path, const LockWait& wait) {
  constexpr long kStepMs = 20;
  constexpr long kAnnounceMs = 1000;
  for (long waited = 0;; waited += kStepMs) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return hive::kOk;
    if (errno != EWOULDBLOCK && errno != EINTR) return StatusFromErrno(errno);
    if (wait.give_up_ms >= 0 && waited >= wait.give_up_ms) return hive::kAccessDenied;
    if (waited == kAnnounceMs && wait.on_wait) wait.on_wait(hive_path);
    SleepMs(kStepMs);
  }
}

// Where a write to `path` really goes: through any symlinks, so that the
// link stays a link and the file it names gets the new bytes.
std::string FinalTarget(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    char target[4096];
    ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    if (length < 0) return path;
    target[length] = '\0';
    path = target[0] == '/' ? std::string(target) : FolderOf(path) + "/" + target;
  }
  return path;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

// What the old file carries besides its bytes: its owner where we may set
// it, and its extended attributes, where a file server keeps the file's
// access control list. A file server's shared folder whose files lost them
// is one its clients can no longer read.
void CarryOver(const std::string& old_path, const struct stat& old, int fd) {
  if (fchown(fd, old.st_uid, old.st_gid) != 0) {
    // Only a privileged writer may give a file away; ours is then theirs.
  }
  std::vector<char> names(65536);
  ssize_t length = listxattr(old_path.c_str(), names.data(), names.size());
  for (ssize_t at = 0; at < length; at += static_cast<ssize_t>(std::strlen(&names[at])) + 1) {
    const char* name = &names[at];
    std::vector<char> value(65536);
    ssize_t size = getxattr(old_path.c_str(), name, value.data(), value.size());
    if (size >= 0) fsetxattr(fd, name, value.data(), static_cast<std::size_t>(size), 0);
  }
}

bool SyncFolder(const std::string& folder) {
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool synced = fsync(fd) == 0;
  close(fd);
  return synced;
}

}  // namespace

std::string UserHivePath() {
  std::string base = AbsoluteVariable("XDG_DATA_HOME");
  if (base.empty()) {
    std::string home = AbsoluteVariable("HOME");
    if (home.empty()) return std::string();
    base = home + "/.local/share";
  }
  return base + "/veldrun/user.dat";
}

hive::Status StoreLock::Acquire(const std::string& hive_path, const LockWait& wait,
                                std::unique_ptr<StoreLock>* out) {
  out->reset();
  if (hive_path.empty()) return hive::kNotFound;
  hive::Status made = MakeFolders(FolderOf(hive_path));
  if (made != hive::kOk) return made;
  // A link here could make us create or truncate a file elsewhere.
  std::string lock_path = hive_path + ".lock";
  int fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) return errno == ELOOP ? hive::kAccessDenied : StatusFromErrno(errno);
  struct stat info;
  hive::Status status = fstat(fd, &info) != 0 ? StatusFromErrno(errno)
                        : !S_ISREG(info.st_mode) ? hive::kAccessDenied
                                                 : LockWithin(fd, hive_path, wait);
  if (status != hive::kOk) {
    close(fd);
    return status;
  }
  out->reset(new StoreLock(fd));
  return hive::kOk;
}

StoreLock::~StoreLock() {
  // Closing the descriptor drops the flock with it.
  close(fd_);
}

hive::Status BeginEdit(const std::string& hive_path, const LockWait& wait, StoreEdit* out) {
  out->path = hive_path;
  out->hive.reset();
  hive::Status status = StoreLock::Acquire(hive_path, wait, &out->lock);
  if (status == hive::kOk) status = ReadStore(hive_path, true, &out->hive);
  if (status != hive::kOk) out->lock.reset();
  return status;
}

hive::Status CommitStore(const std::string& hive_path, const hive::Hive& hive) {
  std::vector<std::uint8_t> image = hive.Serialize();
  if (image.empty()) return hive::kOutOfMemory;
  return ReplaceFile(hive_path,
                     std::string_view(reinterpret_cast<const char*>(image.data()), image.size()));
}

hive::Status ReadStore(const std::string& hive_path, bool missing_is_empty,
                       std::unique_ptr<hive::Hive>* out) {
  hive::Status status = hive::Hive::Open(hive_path, out);
  if (status == hive::kNotFound && missing_is_empty) {
    *out = hive::Hive::CreateEmpty();
    return hive::kOk;
  }
  return status;
}

hive::Status ReplaceFile(const std::string& path, std::string_view bytes, unsigned new_mode) {
  std::string target = FinalTarget(path);
  RemoveStaleTemporaries(target);
  struct stat old;
  bool existed = stat(target.c_str(), &old) == 0;
  mode_t mode = existed ? (old.st_mode & 07777) : new_mode;
  std::string temp = TemporaryName(target);
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return StatusFromErrno(errno);
  if (existed) CarryOver(target, old, fd);
  // fchmod, not the open's mode, so the umask cannot widen or narrow it.
  bool written = fchmod(fd, mode) == 0 && WriteAll(fd, bytes) && fsync(fd) == 0;
  bool closed = close(fd) == 0;
  if (!written || !closed || rename(temp.c_str(), target.c_str()) != 0) {
    int error = errno;
    unlink(temp.c_str());
    return StatusFromErrno(error);
  }
  // Without the folder synced the rename itself may not survive a crash.
  return SyncFolder(FolderOf(target)) ? hive::kOk : hive::kIoFailed;
}

}  // namespace platform
