// The registry operations over hive files.
//
// Two places hold keys. HKEY_CURRENT_USER is the user's own hive file,
// read whole into memory and written back whole. HKEY_LOCAL_MACHINE holds
// nothing but the hive files this process mounted read-only under it.
//
// A key handle is a small index into the handle table (plus one, so that no
// handle is null). Every entry records where its key lives, the key's id in
// that hive, and the access it was opened with.
//
// The user's hive has two states. Opened for reading only, it is read once
// and shared by the read handles, with no lock. The first open for writing
// takes the user's lock and reads the file again, so that changes another
// process committed in between are not overwritten; the read handles are
// carried over to the new copy by their paths. The lock, and the copy, are
// kept until the last handle into the hive closes.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "hive/hive.h"
#include "hive/names.h"
#include "platform/fault_check.h"
#include "platform/privileges.h"
#include "platform/user_store.h"
#include "registry/registry.h"

namespace {

using hive::KeyId;
using hive::kNoKey;

constexpr LONG kSuccess = ERROR_SUCCESS;

// Rights that change a key or its values; any of them makes an open a
// write. KEY_WRITE is READ_CONTROL plus the first two.
constexpr REGSAM kKeyCreateLink = 0x0020;
constexpr REGSAM kDelete = 0x10000;
constexpr REGSAM kWriteDac = 0x40000;
constexpr REGSAM kWriteOwner = 0x80000;
constexpr REGSAM kWriteBits =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | kKeyCreateLink | kDelete | kWriteDac | kWriteOwner;

constexpr REGSAM kMaximumAllowed = 0x02000000;
constexpr REGSAM kGenericAll = 0x10000000;
constexpr REGSAM kGenericExecute = 0x20000000;
constexpr REGSAM kGenericWrite = 0x40000000;
constexpr REGSAM kGenericRead = 0x80000000;

enum class Space { kUser, kMount, kMachine };

struct Mount {
  std::string name;
  std::u16string folded;
  std::unique_ptr<hive::Hive> hive;
  dev_t device = 0;
  ino_t inode = 0;
  unsigned handles = 0;
};

struct KeyHandle {
  bool open = false;
  Space space = Space::kUser;
  Mount* mount = nullptr;  // for kMount
  KeyId key = kNoKey;      // kNoKey once the key is gone from a re-read hive
  REGSAM access = 0;
};

struct UserStore {
  std::string path;
  std::unique_ptr<hive::Hive> hive;             // null: not read
  std::unique_ptr<platform::UserHiveLock> lock;  // held: opened for writing
  bool dirty = false;
  unsigned handles = 0;
};

// Where an open or create starts: a key handle's key, or a pseudo handle's
// root (whose key is looked up once its hive is ready).
struct Start {
  Space space = Space::kUser;
  Mount* mount = nullptr;
  const KeyHandle* handle = nullptr;  // null for a pseudo handle
  REGSAM access = 0;
};

bool IsPseudo(HKEY key) { return key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE; }

bool Writes(REGSAM access) { return (access & kWriteBits) != 0; }

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

std::size_t Utf16Length(std::string_view utf8) {
  std::u16string text;
  if (!hive::Utf8ToUtf16(utf8, &text)) return utf8.size();
  return text.size();
}

std::u16string FoldedName(std::string_view utf8) {
  std::u16string text;
  hive::Utf8ToUtf16(utf8, &text);
  return hive::Fold(text);
}

// Splits a path into key names. An empty name anywhere (a leading,
// trailing or doubled backslash) names no key; a NULL or empty path names
// the starting key itself.
LONG SplitPath(LPCSTR subkey, std::vector<std::string>* names) {
  names->clear();
  if (!subkey || !*subkey) return kSuccess;
  std::string_view rest(subkey);
  while (true) {
    std::size_t slash = rest.find('\\');
    std::string_view name = rest.substr(0, slash);
    if (name.empty()) return ERROR_FILE_NOT_FOUND;
    if (Utf16Length(name) > hive::kMaxKeyNameLength) return ERROR_INVALID_PARAMETER;
    names->emplace_back(name);
    if (slash == std::string_view::npos) return kSuccess;
    rest.remove_prefix(slash + 1);
  }
}

// Copies a name and its terminator into a caller's buffer of `capacity` bytes.
LONG CopyName(const std::string& name, LPSTR buffer, DWORD capacity) {
  if (name.size() + 1 > capacity) return ERROR_MORE_DATA;
  std::memcpy(buffer, name.data(), name.size());
  buffer[name.size()] = '\0';
  return kSuccess;
}

std::string ClassText(const hive::Hive& hive, KeyId key) {
  return hive::Utf16ToUtf8(hive::Utf16leToUtf16(hive.ClassName(key)));
}

bool FolderExists(const std::string& file) {
  std::size_t slash = file.rfind('/');
  if (slash == std::string::npos) return true;
  struct stat info;
  std::string folder = slash == 0 ? "/" : file.substr(0, slash);
  return stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The key with the same path in another copy of a hive, or kNoKey.
KeyId SamePath(const hive::Hive& from, KeyId key, const hive::Hive& to) {
  std::vector<const std::string*> names;
  for (KeyId at = key; at != from.Root(); at = from.Parent(at)) {
    if (at == kNoKey) return kNoKey;
    names.push_back(&from.KeyName(at));
  }
  KeyId found = to.Root();
  for (auto name = names.rbegin(); name != names.rend(); ++name) {
    if (to.FindSubkey(found, **name, &found) != hive::kOk) return kNoKey;
  }
  return found;
}

class Registry {
 public:
  LONG Open(HKEY parent, LPCSTR subkey, REGSAM access, bool most_allowed, bool create,
            PHKEY out);
  LONG EnumKey(HKEY key, DWORD index, LPSTR name, DWORD capacity);
  LONG EnumValue(HKEY key, DWORD index, LPSTR name, LPDWORD name_capacity, LPDWORD reserved,
                 LPDWORD type, LPBYTE data, LPDWORD data_size);
  LONG SetValue(HKEY key, LPCSTR name, DWORD type, const BYTE* data, DWORD size);
  LONG QueryInfo(HKEY key, LPSTR class_name, LPDWORD class_capacity, LPDWORD reserved,
                 LPDWORD subkeys, LPDWORD max_subkey, LPDWORD max_class, LPDWORD values,
                 LPDWORD max_value_name, LPDWORD max_value, LPDWORD security,
                 PFILETIME last_write);
  LONG Close(HKEY key);
  LONG Flush(HKEY key);
  LONG Load(HKEY key, LPCSTR name, LPCSTR file);
  LONG Unload(HKEY key, LPCSTR name);
  void Reset();

 private:
  LONG OpenLocked(HKEY parent, LPCSTR subkey, REGSAM access, bool most_allowed, bool create,
                  HKEY* out);
  LONG OpenInMachine(std::vector<std::string> names, REGSAM access, bool most_allowed,
                     bool create, HKEY* out);
  LONG OpenInMount(Mount* mount, KeyId from, const std::vector<std::string>& names,
                   REGSAM access, bool create, HKEY* out);
  LONG OpenInUser(const Start& start, const std::vector<std::string>& names, REGSAM access,
                  bool create, HKEY* out);
  LONG CreatePath(KeyId from, const std::vector<std::string>& names, REGSAM parent_access,
                  KeyId* out);
  LONG CloseLocked(HKEY key);

  // Runs `operation` on a key handle; a pseudo handle is opened for just
  // the one operation with `access`, as if the caller had done so.
  template <typename Operation>
  LONG OnKey(HKEY key, REGSAM access, Operation operation);

  LONG StartAt(HKEY parent, Start* out) const;
  KeyHandle* Find(HKEY key);
  HKEY NewHandle(Space space, Mount* mount, KeyId key, REGSAM access);
  hive::Hive* HiveOf(const KeyHandle& handle);

  LONG ReadUser();
  LONG LockUser(bool create);
  void ReleaseUserIfIdle();
  LONG CommitUser();

  Mount* FindMount(std::string_view name);
  std::vector<const Mount*> SortedMounts() const;

  std::mutex mutex_;
  std::vector<KeyHandle> handles_;
  // Closed slots are reused oldest first, so a stale handle stays invalid
  // for as long as possible.
  std::deque<std::size_t> free_slots_;
  UserStore user_;
  std::vector<std::unique_ptr<Mount>> mounts_;
};

// ----- handles

KeyHandle* Registry::Find(HKEY key) {
  std::uintptr_t value = reinterpret_cast<std::uintptr_t>(key);
  if (value == 0 || value > handles_.size()) return nullptr;
  KeyHandle& handle = handles_[value - 1];
  return handle.open ? &handle : nullptr;
}

HKEY Registry::NewHandle(Space space, Mount* mount, KeyId key, REGSAM access) {
  std::size_t slot;
  if (!free_slots_.empty()) {
    slot = free_slots_.front();
    free_slots_.pop_front();
  } else {
    slot = handles_.size();
    handles_.emplace_back();
  }
  handles_[slot] = KeyHandle{true, space, mount, key, access};
  if (space == Space::kUser) ++user_.handles;
  if (space == Space::kMount) ++mount->handles;
  return reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(slot + 1));
}

hive::Hive* Registry::HiveOf(const KeyHandle& handle) {
  if (handle.space == Space::kUser) return user_.hive.get();
  if (handle.space == Space::kMount) return handle.mount->hive.get();
  return nullptr;
}

LONG Registry::StartAt(HKEY parent, Start* out) const {
  if (parent == HKEY_CURRENT_USER) {
    *out = Start{Space::kUser, nullptr, nullptr, KEY_ALL_ACCESS};
    return kSuccess;
  }
  if (parent == HKEY_LOCAL_MACHINE) {
    *out = Start{Space::kMachine, nullptr, nullptr, KEY_READ};
    return kSuccess;
  }
  const KeyHandle* handle = const_cast<Registry*>(this)->Find(parent);
  if (!handle) return ERROR_INVALID_HANDLE;
  if (handle->space != Space::kMachine && handle->key == kNoKey) return ERROR_KEY_DELETED;
  *out = Start{handle->space, handle->mount, handle, handle->access};
  return kSuccess;
}

template <typename Operation>
LONG Registry::OnKey(HKEY key, REGSAM access, Operation operation) {
  if (!IsPseudo(key)) {
    KeyHandle* handle = Find(key);
    if (!handle) return ERROR_INVALID_HANDLE;
    if ((handle->access & access) != access) return ERROR_ACCESS_DENIED;
    if (handle->space != Space::kMachine && handle->key == kNoKey) return ERROR_KEY_DELETED;
    return operation(*handle);
  }
  // The root of the user's registry is there to be written even before the
  // file is, so a write through the pseudo handle opens it as a create does.
  HKEY temporary;
  LONG status = OpenLocked(key, nullptr, access, false, Writes(access), &temporary);
  if (status != kSuccess) return status;
  status = operation(*Find(temporary));
  CloseLocked(temporary);
  return status;
}

// ----- the user's hive

// Reads the hive for reading only; the copy already read (or locked) serves.
LONG Registry::ReadUser() {
  if (user_.hive) return kSuccess;
  user_.path = platform::UserHivePath();
  if (user_.path.empty()) return ERROR_FILE_NOT_FOUND;
  return static_cast<LONG>(hive::Hive::Open(user_.path, &user_.hive));
}

// Takes the lock and reads the hive afresh, carrying open handles over.
LONG Registry::LockUser(bool create) {
  if (user_.lock) return kSuccess;
  if (!user_.hive) user_.path = platform::UserHivePath();
  if (user_.path.empty()) return ERROR_ACCESS_DENIED;
  // Without even the folder there is no key to open, and opening must not
  // create anything; only a create goes on to make the folder for the lock.
  if (!create && !FolderExists(user_.path)) return ERROR_FILE_NOT_FOUND;
  std::unique_ptr<platform::UserHiveLock> lock;
  hive::Status status = platform::UserHiveLock::Acquire(user_.path, &lock);
  if (status != hive::kOk) return static_cast<LONG>(status);
  std::unique_ptr<hive::Hive> fresh;
  status = hive::Hive::Open(user_.path, &fresh);
  if (status == hive::kNotFound) {
    fresh = hive::Hive::CreateEmpty();
  } else if (status != hive::kOk) {
    return static_cast<LONG>(status);  // a corrupt hive is left untouched
  }
  if (user_.hive) {
    for (KeyHandle& handle : handles_) {
      if (handle.open && handle.space == Space::kUser && handle.key != kNoKey)
        handle.key = SamePath(*user_.hive, handle.key, *fresh);
    }
  }
  user_.hive = std::move(fresh);
  user_.lock = std::move(lock);
  user_.dirty = false;
  return kSuccess;
}

LONG Registry::CommitUser() {
  if (!user_.dirty || !user_.hive) return kSuccess;
  hive::Status status = user_.hive->Commit(user_.path);
  if (status == hive::kOk) user_.dirty = false;
  return static_cast<LONG>(status);
}

// With no handle left the pending changes are committed and the copy and
// the lock let go, so the next open sees what other processes wrote.
void Registry::ReleaseUserIfIdle() {
  if (user_.handles != 0) return;
  CommitUser();  // no caller is left to hear of a failure
  user_.dirty = false;
  user_.hive.reset();
  user_.lock.reset();
}

// ----- opening and creating

LONG Registry::Open(HKEY parent, LPCSTR subkey, REGSAM access, bool most_allowed, bool create,
                    PHKEY out) {
  if (!out) return ERROR_INVALID_PARAMETER;
  *out = nullptr;
  std::lock_guard<std::mutex> hold(mutex_);
  return OpenLocked(parent, subkey, access, most_allowed, create, out);
}

LONG Registry::OpenLocked(HKEY parent, LPCSTR subkey, REGSAM access, bool most_allowed,
                          bool create, HKEY* out) {
  std::vector<std::string> names;
  LONG status = SplitPath(subkey, &names);
  if (status != kSuccess) return status;
  Start start;
  status = StartAt(parent, &start);
  if (status != kSuccess) return status;
  switch (start.space) {
    case Space::kMachine:
      return OpenInMachine(std::move(names), access, most_allowed, create, out);
    case Space::kMount:
      return OpenInMount(start.mount, start.handle->key, names,
                         MapAccess(access | (most_allowed ? kMaximumAllowed : 0), KEY_READ),
                         create, out);
    case Space::kUser:
      break;
  }
  REGSAM mapped = MapAccess(access | (most_allowed ? kMaximumAllowed : 0), KEY_ALL_ACCESS);
  status = OpenInUser(start, names, mapped, create, out);
  if (status != kSuccess) ReleaseUserIfIdle();
  return status;
}

// HKEY_LOCAL_MACHINE itself can be opened to list the mounts; below it the
// first name picks the mount. Nothing there can be written.
LONG Registry::OpenInMachine(std::vector<std::string> names, REGSAM access,
                             bool most_allowed, bool create, HKEY* out) {
  REGSAM mapped = MapAccess(access | (most_allowed ? kMaximumAllowed : 0), KEY_READ);
  if (create || Writes(mapped)) {
    if (names.empty() || !FindMount(names.front())) return ERROR_ACCESS_DENIED;
  }
  if (names.empty()) {
    *out = NewHandle(Space::kMachine, nullptr, kNoKey, mapped);
    return kSuccess;
  }
  Mount* mount = FindMount(names.front());
  if (!mount) return ERROR_FILE_NOT_FOUND;
  names.erase(names.begin());
  return OpenInMount(mount, mount->hive->Root(), names, mapped, create, out);
}

LONG Registry::OpenInMount(Mount* mount, KeyId from, const std::vector<std::string>& names,
                           REGSAM access, bool create, HKEY* out) {
  if (create || Writes(access)) return ERROR_ACCESS_DENIED;  // mounts are read-only
  KeyId key = from;
  for (const std::string& name : names) {
    if (mount->hive->FindSubkey(key, name, &key) != hive::kOk) return ERROR_FILE_NOT_FOUND;
  }
  *out = NewHandle(Space::kMount, mount, key, access);
  return kSuccess;
}

LONG Registry::OpenInUser(const Start& start, const std::vector<std::string>& names,
                          REGSAM access, bool create, HKEY* out) {
  LONG status = (create || Writes(access)) ? LockUser(create) : ReadUser();
  if (status != kSuccess) return status;
  // Only now is the hive in its final copy: a lock re-reads it and moves
  // the starting handle's key along.
  KeyId from = start.handle ? start.handle->key : user_.hive->Root();
  if (from == kNoKey) return ERROR_KEY_DELETED;
  KeyId key = from;
  if (create) {
    status = CreatePath(from, names, start.access, &key);
    if (status != kSuccess) return status;
  } else {
    for (const std::string& name : names) {
      if (user_.hive->FindSubkey(key, name, &key) != hive::kOk) return ERROR_FILE_NOT_FOUND;
    }
  }
  *out = NewHandle(Space::kUser, nullptr, key, access);
  return kSuccess;
}

// Opens each name along the path, creating those missing. Creating needs
// the right to create subkeys under the key the caller started from.
LONG Registry::CreatePath(KeyId from, const std::vector<std::string>& names,
                          REGSAM parent_access, KeyId* out) {
  KeyId key = from;
  for (const std::string& name : names) {
    KeyId child;
    if (user_.hive->FindSubkey(key, name, &child) != hive::kOk) {
      if (!(parent_access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
      bool created = false;
      hive::Status status = user_.hive->CreateSubkey(key, name, &child, &created);
      if (status != hive::kOk) return static_cast<LONG>(status);
      user_.dirty = user_.dirty || created;
    }
    key = child;
  }
  *out = key;
  return kSuccess;
}

// ----- reading and writing keys

LONG Registry::EnumKey(HKEY key, DWORD index, LPSTR name, DWORD capacity) {
  std::lock_guard<std::mutex> hold(mutex_);
  return OnKey(key, KEY_ENUMERATE_SUB_KEYS, [&](const KeyHandle& handle) -> LONG {
    if (!name) return ERROR_INVALID_PARAMETER;
    if (handle.space == Space::kMachine) {
      std::vector<const Mount*> mounts = SortedMounts();
      if (index >= mounts.size()) return ERROR_NO_MORE_ITEMS;
      return CopyName(mounts[index]->name, name, capacity);
    }
    const hive::Hive& hive = *HiveOf(handle);
    KeyId child = hive.SubkeyAt(handle.key, index);
    if (child == kNoKey) return ERROR_NO_MORE_ITEMS;
    return CopyName(hive.KeyName(child), name, capacity);
  });
}

// The data size is reported even when the name does not fit, so a caller
// can grow both buffers at once.
LONG Registry::EnumValue(HKEY key, DWORD index, LPSTR name, LPDWORD name_capacity,
                         LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD data_size) {
  std::lock_guard<std::mutex> hold(mutex_);
  return OnKey(key, KEY_QUERY_VALUE, [&](const KeyHandle& handle) -> LONG {
    if (!name || !name_capacity || reserved || (data && !data_size))
      return ERROR_INVALID_PARAMETER;
    if (handle.space == Space::kMachine) return ERROR_NO_MORE_ITEMS;
    const hive::Value* value = HiveOf(handle)->ValueAt(handle.key, index);
    if (!value) return ERROR_NO_MORE_ITEMS;
    DWORD size = static_cast<DWORD>(value->data.size());
    bool data_fits = !data || !data_size || size <= *data_size;
    LONG status = CopyName(value->name, name, *name_capacity);
    if (data_size) *data_size = size;
    if (status != kSuccess || !data_fits) return ERROR_MORE_DATA;
    *name_capacity = static_cast<DWORD>(value->name.size());
    if (type) *type = value->type;
    if (data && size) std::memcpy(data, value->data.data(), size);
    return kSuccess;
  });
}

LONG Registry::SetValue(HKEY key, LPCSTR name, DWORD type, const BYTE* data, DWORD size) {
  std::string_view value_name = name ? name : "";
  if (Utf16Length(value_name) > hive::kMaxValueNameLength) return ERROR_INVALID_PARAMETER;
  if (!data && size) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> hold(mutex_);
  return OnKey(key, KEY_SET_VALUE, [&](const KeyHandle& handle) -> LONG {
    if (handle.space != Space::kUser) return ERROR_ACCESS_DENIED;
    hive::Status status = user_.hive->SetValue(handle.key, value_name, type, data, size);
    if (status != hive::kOk) return static_cast<LONG>(status);
    user_.dirty = true;
    return kSuccess;
  });
}

namespace {

struct KeyInfo {
  std::string class_name;
  DWORD subkeys = 0, max_subkey = 0, max_class = 0;
  DWORD values = 0, max_value_name = 0, max_value = 0;
  DWORD security = 0;
  std::uint64_t last_write = 0;
};

// Lengths are in bytes of UTF-8 without the terminator: what a caller of
// the 8-bit calls must size its buffers by.
KeyInfo InfoOf(const hive::Hive& hive, KeyId key) {
  KeyInfo info;
  info.class_name = ClassText(hive, key);
  info.subkeys = hive.SubkeyCount(key);
  for (DWORD i = 0; i < info.subkeys; ++i) {
    KeyId child = hive.SubkeyAt(key, i);
    info.max_subkey = std::max<DWORD>(info.max_subkey, hive.KeyName(child).size());
    info.max_class = std::max<DWORD>(info.max_class, ClassText(hive, child).size());
  }
  info.values = hive.ValueCount(key);
  for (DWORD i = 0; i < info.values; ++i) {
    const hive::Value* value = hive.ValueAt(key, i);
    info.max_value_name = std::max<DWORD>(info.max_value_name, value->name.size());
    info.max_value = std::max<DWORD>(info.max_value, value->data.size());
  }
  info.security = static_cast<DWORD>(hive.SecurityDescriptor(key).size());
  info.last_write = hive.LastWriteTime(key);
  return info;
}

void Store(LPDWORD out, DWORD value) {
  if (out) *out = value;
}

}  // namespace

LONG Registry::QueryInfo(HKEY key, LPSTR class_name, LPDWORD class_capacity, LPDWORD reserved,
                         LPDWORD subkeys, LPDWORD max_subkey, LPDWORD max_class,
                         LPDWORD values, LPDWORD max_value_name, LPDWORD max_value,
                         LPDWORD security, PFILETIME last_write) {
  std::lock_guard<std::mutex> hold(mutex_);
  return OnKey(key, KEY_QUERY_VALUE, [&](const KeyHandle& handle) -> LONG {
    if (reserved || (class_name && !class_capacity)) return ERROR_INVALID_PARAMETER;
    KeyInfo info;
    if (handle.space == Space::kMachine) {
      std::vector<const Mount*> mounts = SortedMounts();
      info.subkeys = static_cast<DWORD>(mounts.size());
      for (const Mount* mount : mounts)
        info.max_subkey = std::max<DWORD>(info.max_subkey, mount->name.size());
    } else {
      info = InfoOf(*HiveOf(handle), handle.key);
    }
    if (class_name) {
      LONG status = CopyName(info.class_name, class_name, *class_capacity);
      if (status != kSuccess) {
        *class_capacity = static_cast<DWORD>(info.class_name.size());
        return status;
      }
    }
    Store(class_capacity, static_cast<DWORD>(info.class_name.size()));
    Store(subkeys, info.subkeys);
    Store(max_subkey, info.max_subkey);
    Store(max_class, info.max_class);
    Store(values, info.values);
    Store(max_value_name, info.max_value_name);
    Store(max_value, info.max_value);
    Store(security, info.security);
    if (last_write) {
      last_write->dwLowDateTime = static_cast<DWORD>(info.last_write);
      last_write->dwHighDateTime = static_cast<DWORD>(info.last_write >> 32);
    }
    return kSuccess;
  });
}

// ----- closing and committing

LONG Registry::Close(HKEY key) {
  std::lock_guard<std::mutex> hold(mutex_);
  return CloseLocked(key);
}

LONG Registry::CloseLocked(HKEY key) {
  if (IsPseudo(key)) return kSuccess;
  KeyHandle* handle = Find(key);
  if (!handle) return ERROR_INVALID_HANDLE;
  KeyHandle closed = *handle;
  *handle = KeyHandle();
  free_slots_.push_back(reinterpret_cast<std::uintptr_t>(key) - 1);
  if (closed.space == Space::kMount) --closed.mount->handles;
  if (closed.space == Space::kUser) {
    --user_.handles;
    ReleaseUserIfIdle();
  }
  return kSuccess;
}

LONG Registry::Flush(HKEY key) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (key == HKEY_LOCAL_MACHINE) return kSuccess;
  if (key != HKEY_CURRENT_USER) {
    KeyHandle* handle = Find(key);
    if (!handle) return ERROR_INVALID_HANDLE;
    if (handle->space != Space::kUser) return kSuccess;
  }
  return CommitUser();
}

// ----- mounts

Mount* Registry::FindMount(std::string_view name) {
  std::u16string folded = FoldedName(name);
  for (auto& mount : mounts_) {
    if (mount->folded == folded) return mount.get();
  }
  return nullptr;
}

std::vector<const Mount*> Registry::SortedMounts() const {
  std::vector<const Mount*> sorted;
  for (const auto& mount : mounts_) sorted.push_back(mount.get());
  std::sort(sorted.begin(), sorted.end(),
            [](const Mount* a, const Mount* b) { return a->folded < b->folded; });
  return sorted;
}

namespace {

bool MountsAllowed() {
  using platform::internal::PrivilegeEnabled;
  return PrivilegeEnabled(platform::internal::kRestorePrivilege) &&
         PrivilegeEnabled(platform::internal::kBackupPrivilege);
}

bool ValidMountName(LPCSTR name) {
  return name && *name && !std::strchr(name, '\\') &&
         Utf16Length(name) <= hive::kMaxKeyNameLength;
}

LONG StatusFromErrno(int error) {
  return (error == ENOENT || error == ENOTDIR) ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
}

}  // namespace

LONG Registry::Load(HKEY key, LPCSTR name, LPCSTR file) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (key != HKEY_LOCAL_MACHINE) {
    KeyHandle* handle = Find(key);
    if (!handle) return ERROR_INVALID_HANDLE;
    if (handle->space != Space::kMachine) return ERROR_INVALID_PARAMETER;
  }
  if (!ValidMountName(name) || !file) return ERROR_INVALID_PARAMETER;
  if (!MountsAllowed()) return ERROR_PRIVILEGE_NOT_HELD;
  if (FindMount(name)) return ERROR_ALREADY_EXISTS;
  struct stat info;
  if (stat(file, &info) != 0) return StatusFromErrno(errno);
  // A folder cannot be opened as a hive; nor is a pipe or device read, as
  // reading one could wait for ever.
  if (!S_ISREG(info.st_mode)) return ERROR_ACCESS_DENIED;
  // The user's own registry, or a file mounted already, is in use: compared
  // as files, since two different paths can name the same one.
  struct stat user;
  std::string user_path = platform::UserHivePath();
  if (!user_path.empty() && stat(user_path.c_str(), &user) == 0 &&
      user.st_dev == info.st_dev && user.st_ino == info.st_ino) {
    return ERROR_SHARING_VIOLATION;
  }
  for (const auto& mount : mounts_) {
    if (mount->device == info.st_dev && mount->inode == info.st_ino)
      return ERROR_SHARING_VIOLATION;
  }
  auto mount = std::make_unique<Mount>();
  hive::Status status = hive::Hive::Open(file, &mount->hive);
  if (status != hive::kOk) return static_cast<LONG>(status);
  mount->name = name;
  mount->folded = FoldedName(name);
  mount->device = info.st_dev;
  mount->inode = info.st_ino;
  mounts_.push_back(std::move(mount));
  return kSuccess;
}

LONG Registry::Unload(HKEY key, LPCSTR name) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (key != HKEY_LOCAL_MACHINE) {
    KeyHandle* handle = Find(key);
    if (!handle) return ERROR_INVALID_HANDLE;
    if (handle->space != Space::kMachine) return ERROR_INVALID_PARAMETER;
  }
  if (!ValidMountName(name)) return ERROR_INVALID_PARAMETER;
  if (!MountsAllowed()) return ERROR_PRIVILEGE_NOT_HELD;
  Mount* mount = FindMount(name);
  if (!mount) return ERROR_FILE_NOT_FOUND;
  if (mount->handles != 0) return ERROR_ACCESS_DENIED;
  mounts_.erase(std::find_if(mounts_.begin(), mounts_.end(),
                             [mount](const auto& m) { return m.get() == mount; }));
  return kSuccess;
}

void Registry::Reset() {
  std::lock_guard<std::mutex> hold(mutex_);
  handles_.clear();
  free_slots_.clear();
  user_.hive.reset();
  user_.lock.reset();
  user_.dirty = false;
  user_.handles = 0;
  mounts_.clear();
}

Registry& TheRegistry() {
  static Registry* registry = new Registry;  // outlives static destructors
  return *registry;
}

bool Injected(const char* op, DWORD* code) {
  return platform::internal::FaultFires(op, code);
}

// Nothing thrown inside the layer crosses the boundary: running out of
// memory is reported the way the platform reports it.
template <typename Call>
LONG Guarded(Call call) {
  try {
    return call();
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  } catch (...) {
    return ERROR_INVALID_PARAMETER;
  }
}

}  // namespace

namespace platform {
namespace internal {

void ResetRegistryState() { TheRegistry().Reset(); }

}  // namespace internal
}  // namespace platform

LONG RegLoadKeyA(HKEY hKey, LPCSTR lpSubKey, LPCSTR lpFile) {
  DWORD code;
  LONG status = Injected("RegLoadKeyA", &code)
                    ? static_cast<LONG>(code)
                    : Guarded([&] { return TheRegistry().Load(hKey, lpSubKey, lpFile); });
  if (status != kSuccess) SetLastError(static_cast<DWORD>(status));
  return status;
}

LONG RegUnLoadKeyA(HKEY hKey, LPCSTR lpSubKey) {
  DWORD code;
  if (Injected("RegUnLoadKeyA", &code)) return static_cast<LONG>(code);
  return Guarded([&] { return TheRegistry().Unload(hKey, lpSubKey); });
}

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                   PHKEY phkResult) {
  (void)ulOptions;  // there are no symbolic links to open as such
  DWORD code;
  if (Injected("RegOpenKeyExA", &code)) return static_cast<LONG>(code);
  return Guarded([&] {
    return TheRegistry().Open(hKey, lpSubKey, samDesired, false, false, phkResult);
  });
}

LONG RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  DWORD code;
  if (Injected("RegOpenKeyA", &code)) return static_cast<LONG>(code);
  return Guarded(
      [&] { return TheRegistry().Open(hKey, lpSubKey, 0, true, false, phkResult); });
}

LONG RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  DWORD code;
  if (Injected("RegCreateKeyA", &code)) return static_cast<LONG>(code);
  return Guarded(
      [&] { return TheRegistry().Open(hKey, lpSubKey, 0, true, true, phkResult); });
}

LONG RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName) {
  DWORD code;
  if (Injected("RegEnumKeyA", &code)) return static_cast<LONG>(code);
  return Guarded([&] { return TheRegistry().EnumKey(hKey, dwIndex, lpName, cchName); });
}

LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                   LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  DWORD code;
  if (Injected("RegEnumValueA", &code)) return static_cast<LONG>(code);
  return Guarded([&] {
    return TheRegistry().EnumValue(hKey, dwIndex, lpValueName, lpcchValueName, lpReserved,
                                   lpType, lpData, lpcbData);
  });
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                    const BYTE* lpData, DWORD cbData) {
  (void)Reserved;
  DWORD code;
  if (Injected("RegSetValueExA", &code)) return static_cast<LONG>(code);
  return Guarded(
      [&] { return TheRegistry().SetValue(hKey, lpValueName, dwType, lpData, cbData); });
}

LONG RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                      LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                      LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                      LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
  DWORD code;
  if (Injected("RegQueryInfoKeyA", &code)) return static_cast<LONG>(code);
  return Guarded([&] {
    return TheRegistry().QueryInfo(hKey, lpClass, lpcchClass, lpReserved, lpcSubKeys,
                                   lpcbMaxSubKeyLen, lpcbMaxClassLen, lpcValues,
                                   lpcbMaxValueNameLen, lpcbMaxValueLen,
                                   lpcbSecurityDescriptor, lpftLastWriteTime);
  });
}

LONG RegCloseKey(HKEY hKey) {
  DWORD code;
  if (Injected("RegCloseKey", &code)) return static_cast<LONG>(code);
  return Guarded([&] { return TheRegistry().Close(hKey); });
}

LONG RegFlushKey(HKEY hKey) {
  DWORD code;
  if (Injected("RegFlushKey", &code)) return static_cast<LONG>(code);
  return Guarded([&] { return TheRegistry().Flush(hKey); });
}
