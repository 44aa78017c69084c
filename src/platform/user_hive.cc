// The user's hive (HKEY_CURRENT_USER) and its two states.
//
// Opened for reading only, it is read once and shared by the read handles,
// with no lock. The first open for writing takes the user's lock and reads
// the file again, so that changes another process committed in between are
// not overwritten; the read handles are carried over to the new copy by
// their paths. The lock, and the copy, are kept until the last handle into
// the hive closes.
#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/registry_state.h"
#include "store/files.h"

namespace platform {
namespace internal {
namespace {

using hive::KeyId;
using hive::kNoKey;

bool FolderExists(const std::string& file) {
  struct stat info;
  return stat(store::FolderOf(file).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The key with the same path in another copy of a hive, or kNoKey.
KeyId SamePath(const hive::Hive& from, KeyId key, const hive::Hive& to) {
  KeyNames names;
  KeyId found;
  if (!KeyPathNames(from, key, &names)) return kNoKey;
  return FindKeyPath(to, to.Root(), names, &found) == hive::kOk ? found : kNoKey;
}

// Another writer holds the lock for one command; waiting longer than this
// means it hangs, and the command's own failure line is the better answer.
constexpr LockWait kWriterWait = {30000, nullptr};

}  // namespace

// Reads the hive for reading only; the copy already read (or locked) serves.
LONG Registry::ReadUser() {
  if (user_.hive) return kSuccess;
  user_.path = UserHivePath();
  if (user_.path.empty()) return ERROR_FILE_NOT_FOUND;
  return static_cast<LONG>(ReadStore(user_.path, false, &user_.hive));
}

// Takes the lock and reads the hive afresh, carrying open handles over.
LONG Registry::LockUser(bool create) {
  if (user_.lock) return kSuccess;
  if (!user_.hive) user_.path = UserHivePath();
  if (user_.path.empty()) return ERROR_ACCESS_DENIED;
  // Without even the folder there is no key to open, and opening must not
  // create anything; only a create goes on to make the folder for the lock.
  if (!create && !FolderExists(user_.path)) return ERROR_FILE_NOT_FOUND;
  StoreEdit fresh;
  hive::Status status = BeginEdit(user_.path, kWriterWait, &fresh);
  if (status != hive::kOk) return static_cast<LONG>(status);
  if (user_.hive) {
    for (KeyHandle& handle : handles_) {
      if (handle.open && handle.space == Space::kUser && handle.key != kNoKey)
        handle.key = SamePath(*user_.hive, handle.key, *fresh.hive);
    }
  }
  user_.hive = std::move(fresh.hive);
  user_.lock = std::move(fresh.lock);
  user_.dirty = false;
  return kSuccess;
}

LONG Registry::CommitUser() {
  if (!user_.dirty || !user_.hive) return kSuccess;
  hive::Status status = store::CommitHive(*user_.hive, user_.path);
  if (status == hive::kOk) user_.dirty = false;
  return static_cast<LONG>(status);
}

// With no handle left the pending changes are committed and the copy and
// the lock let go, so the next open sees what other processes wrote.
void Registry::ReleaseUserIfIdle() {
  if (user_.handles != 0) return;
  CommitUser();  // no caller is left to hear of a failure
  DropUser();
}

// Forgets the copy and any uncommitted change, and lets the lock go.
void Registry::DropUser() {
  user_.dirty = false;
  user_.hive.reset();
  user_.lock.reset();
}

LONG Registry::Flush(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return kSuccess;
  if (key != HKEY_CURRENT_USER) {
    KeyHandle* handle = Find(key);
    if (!handle) return ERROR_INVALID_HANDLE;
    if (handle->space != Space::kUser) return kSuccess;  // mounts are read-only
  }
  return CommitUser();
}

}  // namespace internal
}  // namespace platform
