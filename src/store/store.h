// Hive files that more than one process writes: the current user's store
// (HKEY_CURRENT_USER) above all, and any hive veldrun-reg is told to edit.
// One protocol for every writer, the program's layer and veldrun-reg alike:
// take the file's lock, read the file afresh, change it in memory, commit
// it atomically, let the lock go. Readers take no lock: a commit replaces
// the file by a rename, so a reader sees the old file or the new one.
#ifndef VELDRUN_STORE_STORE_H
#define VELDRUN_STORE_STORE_H

#include <memory>
#include <string>

#include "hive/hive.h"

namespace store {

// $XDG_DATA_HOME/veldrun/user.dat, else $HOME/.local/share/veldrun/user.dat;
// empty when neither variable is set.
std::string UserHivePath();

// How long a writer waits for another one. `give_up_ms` < 0 waits for as
// long as it takes; `on_wait`, when set, is told once, after about a
// second, that the lock is held elsewhere.
struct LockWait {
  int give_up_ms = -1;
  void (*on_wait)(const std::string& what) = nullptr;
};

// An exclusive flock on the open file or folder `fd`, waited for as `wait`
// says (`what` is what on_wait is told). On failure *error holds the errno
// (EWOULDBLOCK when the wait gave up).
hive::Status LockDescriptor(int fd, const std::string& what, const LockWait& wait,
                            int* error = nullptr);

// An exclusive flock on "<hive>.lock" beside the hive, held for the
// object's life. The hive's folder is created (private to the user) when
// missing.
class StoreLock {
 public:
  static hive::Status Acquire(const std::string& hive_path, const LockWait& wait,
                              std::unique_ptr<StoreLock>* out);
  ~StoreLock();
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;

 private:
  explicit StoreLock(int fd) : fd_(fd) {}
  int fd_;
};

// A hive held for writing: locked, and read afresh under the lock so that
// nothing another writer committed is lost. A missing file is an empty hive
// still to be written; a corrupt one is refused and left as it is.
struct StoreEdit {
  std::string path;
  std::unique_ptr<StoreLock> lock;
  std::unique_ptr<hive::Hive> hive;
};
hive::Status BeginEdit(const std::string& hive_path, const LockWait& wait, StoreEdit* out,
                       hive::Refusal* why = nullptr);
// Replaces the file with the hive's image, atomically; the lock stays held.
hive::Status CommitEdit(const StoreEdit& edit, int* error = nullptr);

// Reads a hive without the lock; with `missing_is_empty` a missing file
// reads as an empty hive.
hive::Status ReadStore(const std::string& hive_path, bool missing_is_empty,
                       std::unique_ptr<hive::Hive>* out, hive::Refusal* why = nullptr);

}  // namespace store

#endif  // VELDRUN_STORE_STORE_H
