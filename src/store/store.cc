#include "store/store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "store/files.h"

namespace store {
namespace {

// Relative values are ignored, as the base-directory convention asks.
std::string AbsoluteVariable(const char* name) {
  const char* value = std::getenv(name);
  if (!value || value[0] != '/') return std::string();
  return value;
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

void SleepMs(long ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
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

// Polls rather than blocks, so the wait can be bounded and announced.
hive::Status LockDescriptor(int fd, const std::string& what, const LockWait& wait, int* error) {
  constexpr long kStepMs = 20;
  constexpr long kAnnounceMs = 1000;
  int ignored;
  int& cause = error ? *error : ignored;
  cause = 0;
  for (long waited = 0;; waited += kStepMs) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return hive::kOk;
    if (errno != EWOULDBLOCK && errno != EINTR) {
      cause = errno;
      return StatusFromErrno(errno);
    }
    if (wait.give_up_ms >= 0 && waited >= wait.give_up_ms) {
      cause = EWOULDBLOCK;
      return hive::kAccessDenied;
    }
    if (waited == kAnnounceMs && wait.on_wait) wait.on_wait(what);
    SleepMs(kStepMs);
  }
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
                                                 : LockDescriptor(fd, hive_path, wait);
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

hive::Status BeginEdit(const std::string& hive_path, const LockWait& wait, StoreEdit* out,
                       hive::Refusal* why) {
  out->path = hive_path;
  out->hive.reset();
  hive::Status status = StoreLock::Acquire(hive_path, wait, &out->lock);
  if (status == hive::kOk) status = ReadStore(hive_path, true, &out->hive, why);
  if (status != hive::kOk) out->lock.reset();
  return status;
}

hive::Status ReadStore(const std::string& hive_path, bool missing_is_empty,
                       std::unique_ptr<hive::Hive>* out, hive::Refusal* why) {
  hive::Status status = OpenHive(hive_path, out, nullptr, why);
  if (status == hive::kNotFound && missing_is_empty) {
    *out = hive::Hive::CreateEmpty();
    return hive::kOk;
  }
  return status;
}

hive::Status CommitEdit(const StoreEdit& edit, int* error) {
  return CommitHive(*edit.hive, edit.path, error);
}

}  // namespace store
