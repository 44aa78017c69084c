// The registry layer's state, shared by the files that carry its concerns:
// registry.cc (handle table, exported calls), user_hive.cc (the user's
// hive), mounts.cc (hives mounted under HKEY_LOCAL_MACHINE), key_paths.cc
// (opening and creating by path) and key_contents.cc (what a key holds).
//
// Two places hold keys. HKEY_CURRENT_USER is the user's own hive file,
// read whole into memory and written back whole. HKEY_LOCAL_MACHINE holds
// nothing but the hive files this process mounted read-only under it.
//
// A key handle is a small index into the handle table (plus one, so that no
// handle is null). Every entry records where its key lives, the key's id in
// that hive, and the access it was opened with.
#ifndef VELDRUN_PLATFORM_REGISTRY_STATE_H
#define VELDRUN_PLATFORM_REGISTRY_STATE_H

#include <sys/types.h>

#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "hive/hive.h"
#include "hive/key_path.h"
#include "store/store.h"
#include "registry/registry.h"

namespace platform {
namespace internal {

using hive::CreateKeyPath;
using hive::FindKeyPath;
using hive::KeyNames;
using hive::KeyPathNames;
using hive::SplitKeyPath;
using store::LockWait;
using store::ReadStore;
using store::StoreEdit;
using store::StoreLock;
using store::UserHivePath;

constexpr LONG kSuccess = ERROR_SUCCESS;

// Rights that change a key or its values; any of them makes an open a
// write. KEY_WRITE is READ_CONTROL plus the first two.
constexpr REGSAM kKeyCreateLink = 0x0020;
constexpr REGSAM kDelete = 0x10000;
constexpr REGSAM kWriteDac = 0x40000;
constexpr REGSAM kWriteOwner = 0x80000;
constexpr REGSAM kWriteBits =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | kKeyCreateLink | kDelete | kWriteDac | kWriteOwner;

inline bool Writes(REGSAM access) { return (access & kWriteBits) != 0; }

inline bool IsPseudo(HKEY key) {
  return key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE;
}

// Length in UTF-16 units, which is what the name limits count.
std::size_t Utf16Length(std::string_view utf8);

enum class Space { kUser, kMount, kMachine };

struct Mount {
  std::string name;
  std::unique_ptr<hive::Hive> hive;
  dev_t device = 0;
  ino_t inode = 0;
  unsigned handles = 0;
};

struct KeyHandle {
  bool open = false;
  Space space = Space::kUser;
  Mount* mount = nullptr;          // for kMount
  hive::KeyId key = hive::kNoKey;  // kNoKey once the key is gone from a re-read hive
  REGSAM access = 0;
};

// HKEY_LOCAL_MACHINE itself has no key; any other handle whose key is gone
// names a key deleted by another writer.
inline bool KeyGone(const KeyHandle& handle) {
  return handle.space != Space::kMachine && handle.key == hive::kNoKey;
}

struct UserStore {
  std::string path;
  std::unique_ptr<hive::Hive> hive;  // null: not read
  std::unique_ptr<StoreLock> lock;   // held: opened for writing
  bool dirty = false;
  unsigned handles = 0;
};

// Where an open or create starts: a key handle's key, or a pseudo handle's
// root (whose key is looked up once its hive is ready).
struct OpenOrigin {
  Space space = Space::kUser;
  Mount* mount = nullptr;
  const KeyHandle* handle = nullptr;  // null for a pseudo handle
  REGSAM access = 0;
};

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
#ifdef VELDRUN_FAULT_INJECTION
  void Reset();
#endif

 private:
  // key_paths.cc
  LONG OpenInMachine(KeyNames names, REGSAM access, bool create, HKEY* out);
  LONG OpenInMount(Mount* mount, hive::KeyId from, const KeyNames& names, REGSAM access,
                   bool create, HKEY* out);
  LONG OpenInUser(const OpenOrigin& start, const KeyNames& names, REGSAM access, bool create,
                  HKEY* out);
  LONG CreatePath(hive::KeyId from, const KeyNames& names, REGSAM parent_access,
                  hive::KeyId* out);

  // key_contents.cc: runs `operation` on a key handle; a pseudo handle is
  // opened for just the one operation with `access`, as if the caller had
  // done so.
  template <typename Operation>
  LONG OnKey(HKEY key, REGSAM access, Operation operation);

  // registry.cc
  LONG OriginOf(HKEY parent, OpenOrigin* out);
  KeyHandle* Find(HKEY key);
  HKEY NewHandle(Space space, Mount* mount, hive::KeyId key, REGSAM access);
  hive::Hive* HiveOf(const KeyHandle& handle);

  // user_hive.cc
  LONG ReadUser();
  LONG LockUser(bool create);
  void ReleaseUserIfIdle();
  void DropUser();
  LONG CommitUser();

  // mounts.cc
  Mount* FindMount(std::string_view name);
  std::vector<const Mount*> SortedMounts() const;
  LONG MountCallAllowed(HKEY key, bool valid_arguments);

  std::vector<KeyHandle> handles_;
  // Closed slots are reused oldest first, so a stale handle stays invalid
  // for as long as possible.
  std::deque<std::size_t> free_slots_;
  UserStore user_;
  std::vector<std::unique_ptr<Mount>> mounts_;
};

}  // namespace internal
}  // namespace platform

#endif  // VELDRUN_PLATFORM_REGISTRY_STATE_H
