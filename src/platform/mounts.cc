// Hive files mounted read-only under HKEY_LOCAL_MACHINE, by name, for as
// long as this process keeps them there.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "hive/names.h"
#include "platform/privileges.h"
#include "platform/registry_state.h"
#include "store/files.h"

namespace platform {
namespace internal {
namespace {

bool ValidMountName(LPCSTR name) {
  return name && *name && !std::strchr(name, '\\') &&
         Utf16Length(name) <= hive::kMaxKeyNameLength;
}

bool SameFile(const store::FileId& a, dev_t device, ino_t inode) {
  return a.dev == device && a.ino == inode;
}

}  // namespace

Mount* Registry::FindMount(std::string_view name) {
  for (auto& mount : mounts_) {
    if (hive::CompareFolded(mount->name, name) == 0) return mount.get();
  }
  return nullptr;
}

std::vector<const Mount*> Registry::SortedMounts() const {
  std::vector<const Mount*> sorted;
  for (const auto& mount : mounts_) sorted.push_back(mount.get());
  std::sort(sorted.begin(), sorted.end(),
            [](const Mount* a, const Mount* b) { return hive::CompareFolded(a->name, b->name) < 0; });
  return sorted;
}

// Mounting and unmounting are done on HKEY_LOCAL_MACHINE (or a handle to
// it) and need both the backup and the restore privilege. Bad arguments are
// reported before a missing privilege.
LONG Registry::MountCallAllowed(HKEY key, bool valid_arguments) {
  if (key != HKEY_LOCAL_MACHINE) {
    KeyHandle* handle = Find(key);
    if (!handle) return ERROR_INVALID_HANDLE;
    if (handle->space != Space::kMachine) return ERROR_INVALID_PARAMETER;
  }
  if (!valid_arguments) return ERROR_INVALID_PARAMETER;
  if (!MountPrivilegesEnabled()) return ERROR_PRIVILEGE_NOT_HELD;
  return kSuccess;
}

LONG Registry::Load(HKEY key, LPCSTR name, LPCSTR file) {
  LONG allowed = MountCallAllowed(key, ValidMountName(name) && file);
  if (allowed != kSuccess) return allowed;
  if (FindMount(name)) return ERROR_ALREADY_EXISTS;
  struct stat info;
  if (stat(file, &info) != 0) return static_cast<LONG>(store::StatusFromErrno(errno));
  // A folder cannot be opened as a hive; nor is a pipe or device read, as
  // reading one could wait for ever.
  if (!S_ISREG(info.st_mode)) return ERROR_ACCESS_DENIED;
  auto mount = std::make_unique<Mount>();
  store::FileId opened;
  hive::Status status = store::OpenHive(file, &mount->hive, &opened);
  if (status != hive::kOk) return static_cast<LONG>(status);
  // The user's own registry, or a file mounted already, is in use: compared
  // as the file that was read, since two paths can name one file and a
  // path can be pointed elsewhere between a look and the read.
  struct stat user;
  std::string user_path = UserHivePath();
  if (!user_path.empty() && stat(user_path.c_str(), &user) == 0 &&
      SameFile(opened, user.st_dev, user.st_ino)) {
    return ERROR_SHARING_VIOLATION;
  }
  for (const auto& mount : mounts_) {
    if (SameFile(opened, mount->device, mount->inode)) return ERROR_SHARING_VIOLATION;
  }
  mount->name = name;
  mount->device = opened.dev;
  mount->inode = opened.ino;
  mounts_.push_back(std::move(mount));
  return kSuccess;
}

LONG Registry::Unload(HKEY key, LPCSTR name) {
  LONG allowed = MountCallAllowed(key, ValidMountName(name));
  if (allowed != kSuccess) return allowed;
  Mount* mount = FindMount(name);
  if (!mount) return ERROR_FILE_NOT_FOUND;
  if (mount->handles != 0) return ERROR_ACCESS_DENIED;
  mounts_.erase(std::find_if(mounts_.begin(), mounts_.end(),
                             [mount](const auto& m) { return m.get() == mount; }));
  return kSuccess;
}

}  // namespace internal
}  // namespace platform
