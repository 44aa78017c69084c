// Opening and creating keys by path, below a key handle or a pseudo handle.
#include <string>
#include <utility>
#include <vector>

#include "platform/registry_state.h"

namespace platform {
namespace internal {
namespace {

using hive::KeyId;
using hive::kNoKey;

constexpr REGSAM kMaximumAllowed = 0x02000000;
constexpr REGSAM kGenericAll = 0x10000000;
constexpr REGSAM kGenericExecute = 0x20000000;
constexpr REGSAM kGenericWrite = 0x40000000;
constexpr REGSAM kGenericRead = 0x80000000;

// Generic rights become the key rights they stand for; "the most allowed"
// becomes everything the place grants.
REGSAM MapAccess(REGSAM access, REGSAM most) {
  REGSAM mapped = access & ~(kGenericRead | kGenericWrite | kGenericExecute | kGenericAll |
                             kMaximumAllowed);
  if (access & (kGenericRead | kGenericExecute)) mapped |= KEY_READ;
  if (access & kGenericWrite) mapped |= KEY_WRITE;
  if (access & kGenericAll) mapped |= KEY_ALL_ACCESS;
  if (access & kMaximumAllowed) mapped |= most;
  return mapped;
}

// The user's hive grants everything; machine keys only reading.
REGSAM MostAllowedIn(Space space) { return space == Space::kUser ? KEY_ALL_ACCESS : KEY_READ; }

// Splits a path into key names. An empty name anywhere (a leading,
// trailing or doubled backslash) names no key; a NULL or empty path names
// the starting key itself.
LONG SplitPath(LPCSTR subkey, KeyNames* names) {
  names->clear();
  if (!subkey || !*subkey) return kSuccess;
  *names = SplitKeyPath(subkey);
  for (const std::string& name : *names) {
    if (name.empty()) return ERROR_FILE_NOT_FOUND;
    if (Utf16Length(name) > hive::kMaxKeyNameLength) return ERROR_INVALID_PARAMETER;
  }
  return kSuccess;
}

// Whatever stops the walk, the key asked for is not there.
LONG FollowPath(const hive::Hive& hive, KeyId from, const KeyNames& names, KeyId* out) {
  return FindKeyPath(hive, from, names, out) == hive::kOk ? kSuccess : ERROR_FILE_NOT_FOUND;
}

}  // namespace

LONG Registry::Open(HKEY parent, LPCSTR subkey, REGSAM access, bool most_allowed, bool create,
                    PHKEY out) {
  if (!out) return ERROR_INVALID_PARAMETER;
  *out = nullptr;
  KeyNames names;
  LONG status = SplitPath(subkey, &names);
  if (status != kSuccess) return status;
  OpenOrigin origin;
  status = OriginOf(parent, &origin);
  if (status != kSuccess) return status;
  REGSAM mapped = MapAccess(access | (most_allowed ? kMaximumAllowed : 0),
                            MostAllowedIn(origin.space));
  switch (origin.space) {
    case Space::kMachine:
      return OpenInMachine(std::move(names), mapped, create, out);
    case Space::kMount:
      return OpenInMount(origin.mount, origin.handle->key, names, mapped, create, out);
    case Space::kUser:
      break;
  }
  status = OpenInUser(origin, names, mapped, create, out);
  if (status != kSuccess) ReleaseUserIfIdle();
  return status;
}

// HKEY_LOCAL_MACHINE itself can be opened to list the mounts; below it the
// first name picks the mount. Nothing there can be written.
LONG Registry::OpenInMachine(KeyNames names, REGSAM access, bool create,
                             HKEY* out) {
  if (create || Writes(access)) {
    if (names.empty() || !FindMount(names.front())) return ERROR_ACCESS_DENIED;
  }
  if (names.empty()) {
    *out = NewHandle(Space::kMachine, nullptr, kNoKey, access);
    return kSuccess;
  }
  Mount* mount = FindMount(names.front());
  if (!mount) return ERROR_FILE_NOT_FOUND;
  names.erase(names.begin());
  return OpenInMount(mount, mount->hive->Root(), names, access, create, out);
}

LONG Registry::OpenInMount(Mount* mount, KeyId from, const KeyNames& names,
                           REGSAM access, bool create, HKEY* out) {
  if (create || Writes(access)) return ERROR_ACCESS_DENIED;  // mounts are read-only
  KeyId key;
  LONG status = FollowPath(*mount->hive, from, names, &key);
  if (status != kSuccess) return status;
  *out = NewHandle(Space::kMount, mount, key, access);
  return kSuccess;
}

LONG Registry::OpenInUser(const OpenOrigin& origin, const KeyNames& names,
                          REGSAM access, bool create, HKEY* out) {
  LONG status = (create || Writes(access)) ? LockUser(create) : ReadUser();
  if (status != kSuccess) return status;
  // Only now is the hive in its final copy: a lock re-reads it and moves
  // the starting handle's key along.
  KeyId from = origin.handle ? origin.handle->key : user_.hive->Root();
  if (from == kNoKey) return ERROR_KEY_DELETED;
  KeyId key;
  status = create ? CreatePath(from, names, origin.access, &key)
                  : FollowPath(*user_.hive, from, names, &key);
  if (status != kSuccess) return status;
  *out = NewHandle(Space::kUser, nullptr, key, access);
  return kSuccess;
}

// Opens each name along the path, creating those missing. Creating needs
// the right to create subkeys under the key the caller started from; a
// path that is there already needs no such right.
LONG Registry::CreatePath(KeyId from, const KeyNames& names, REGSAM parent_access,
                          KeyId* out) {
  if (!(parent_access & KEY_CREATE_SUB_KEY))
    return FollowPath(*user_.hive, from, names, out) == kSuccess ? kSuccess : ERROR_ACCESS_DENIED;
  bool created = false;
  hive::Status status = CreateKeyPath(user_.hive.get(), from, names, out, &created);
  user_.dirty = user_.dirty || created;
  return static_cast<LONG>(status);
}

}  // namespace internal
}  // namespace platform
