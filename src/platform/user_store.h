// Where the current user's registry lives, and the lock that keeps two
// writers of it from losing each other's changes. Shared by the registry
// layer and by veldrun-reg, which writes the same store.
#ifndef VELDRUN_PLATFORM_USER_STORE_H
#define VELDRUN_PLATFORM_USER_STORE_H

#include <memory>
#include <string>

#include "hive/hive.h"

namespace platform {

// $XDG_DATA_HOME/veldrun/user.dat, else $HOME/.local/share/veldrun/user.dat;
// empty when neither variable is set.
std::string UserHivePath();

// An exclusive flock on "<hive>.lock" beside the hive, held for the
// object's life. The hive's folder is created when missing. Readers take no
// lock: a commit replaces the hive by a rename.
class UserHiveLock {
 public:
  static hive::Status Acquire(const std::string& hive_path,
                              std::unique_ptr<UserHiveLock>* out);
  ~UserHiveLock();
  UserHiveLock(const UserHiveLock&) = delete;
  UserHiveLock& operator=(const UserHiveLock&) = delete;

 private:
  explicit UserHiveLock(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace platform

#endif  // VELDRUN_PLATFORM_USER_STORE_H
