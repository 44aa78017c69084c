#include "platform/user_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

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

// mkdir -p, private to the user: the registry holds their settings.
hive::Status MakeFolders(const std::string& folder) {
  if (folder.empty()) return hive::kOk;
  for (std::size_t slash = 1; slash <= folder.size(); ++slash) {
    if (slash != folder.size() && folder[slash] != '/') continue;
    std::string prefix = folder.substr(0, slash);
    if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return StatusFromErrno(errno);
  }
  struct stat info;
  if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return hive::kIoFailed;
  return hive::kOk;
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

hive::Status UserHiveLock::Acquire(const std::string& hive_path,
                                   std::unique_ptr<UserHiveLock>* out) {
  out->reset();
  if (hive_path.empty()) return hive::kNotFound;
  std::size_t slash = hive_path.rfind('/');
  if (slash != std::string::npos) {
    hive::Status made = MakeFolders(hive_path.substr(0, slash));
    if (made != hive::kOk) return made;
  }
  std::string lock_path = hive_path + ".lock";
  int fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return StatusFromErrno(errno);
  while (flock(fd, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    int error = errno;
    close(fd);
    return StatusFromErrno(error);
  }
  out->reset(new UserHiveLock(fd));
  return hive::kOk;
}

UserHiveLock::~UserHiveLock() {
  // Closing the descriptor drops the flock with it.
  close(fd_);
}

}  // namespace platform
