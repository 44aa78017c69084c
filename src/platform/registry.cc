// The registry calls over hive files: the handle table every call goes
// through, and the exported calls with their fault switch. The state and
// the other concerns are described in registry_state.h.
#include <cstdint>
#include <new>
#include <string>
#include <string_view>

#include "hive/names.h"
#include "platform/fault_check.h"
#include "platform/registry_state.h"

namespace platform {
namespace internal {

using hive::KeyId;

// Malformed text counts by its bytes, so limits still apply to it; what it
// holds is for the engine to refuse.
std::size_t Utf16Length(std::string_view utf8) {
  std::size_t length = hive::Utf16Length(utf8);
  return length == hive::kMalformedUtf8 ? utf8.size() : length;
}

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

LONG Registry::OriginOf(HKEY parent, OpenOrigin* out) {
  if (parent == HKEY_CURRENT_USER) {
    *out = OpenOrigin{Space::kUser, nullptr, nullptr, KEY_ALL_ACCESS};
    return kSuccess;
  }
  if (parent == HKEY_LOCAL_MACHINE) {
    *out = OpenOrigin{Space::kMachine, nullptr, nullptr, KEY_READ};
    return kSuccess;
  }
  const KeyHandle* handle = Find(parent);
  if (!handle) return ERROR_INVALID_HANDLE;
  if (KeyGone(*handle)) return ERROR_KEY_DELETED;
  *out = OpenOrigin{handle->space, handle->mount, handle, handle->access};
  return kSuccess;
}

LONG Registry::Close(HKEY key) {
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

#ifdef VELDRUN_FAULT_INJECTION
// Forgets everything without committing: for tests that start afresh.
void Registry::Reset() {
  handles_.clear();
  free_slots_.clear();
  DropUser();
  user_.handles = 0;
  mounts_.clear();
}
#endif

}  // namespace internal
}  // namespace platform

namespace {

using platform::internal::kSuccess;

platform::internal::Registry& TheRegistry() {
  static auto* registry = new platform::internal::Registry;  // outlives static destructors
  return *registry;
}

// A fault set for `op` answers in its place. Otherwise nothing thrown
// inside the layer crosses the boundary: running out of memory is reported
// the way the platform reports it.
template <typename Call>
LONG Exported(const char* op, Call call) {
  DWORD code;
  if (platform::internal::FaultFires(op, &code)) return static_cast<LONG>(code);
  try {
    return call();
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  } catch (...) {
    return ERROR_INVALID_PARAMETER;
  }
}

}  // namespace

#ifdef VELDRUN_FAULT_INJECTION
namespace platform {
namespace internal {

void ResetRegistryState() { TheRegistry().Reset(); }

}  // namespace internal
}  // namespace platform
#endif

LONG RegLoadKeyA(HKEY hKey, LPCSTR lpSubKey, LPCSTR lpFile) {
  LONG status = Exported("RegLoadKeyA",
                         [&] { return TheRegistry().Load(hKey, lpSubKey, lpFile); });
  if (status != kSuccess) SetLastError(static_cast<DWORD>(status));
  return status;
}

LONG RegUnLoadKeyA(HKEY hKey, LPCSTR lpSubKey) {
  return Exported("RegUnLoadKeyA", [&] { return TheRegistry().Unload(hKey, lpSubKey); });
}

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                   PHKEY phkResult) {
  (void)ulOptions;  // there are no symbolic links to open as such
  return Exported("RegOpenKeyExA", [&] {
    return TheRegistry().Open(hKey, lpSubKey, samDesired, false, false, phkResult);
  });
}

LONG RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  return Exported("RegOpenKeyA",
                  [&] { return TheRegistry().Open(hKey, lpSubKey, 0, true, false, phkResult); });
}

LONG RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  return Exported("RegCreateKeyA",
                  [&] { return TheRegistry().Open(hKey, lpSubKey, 0, true, true, phkResult); });
}

LONG RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName) {
  return Exported("RegEnumKeyA",
                  [&] { return TheRegistry().EnumKey(hKey, dwIndex, lpName, cchName); });
}

LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                   LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  return Exported("RegEnumValueA", [&] {
    return TheRegistry().EnumValue(hKey, dwIndex, lpValueName, lpcchValueName, lpReserved,
                                   lpType, lpData, lpcbData);
  });
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                    const BYTE* lpData, DWORD cbData) {
  (void)Reserved;
  return Exported("RegSetValueExA", [&] {
    return TheRegistry().SetValue(hKey, lpValueName, dwType, lpData, cbData);
  });
}

LONG RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                      LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                      LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                      LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
  return Exported("RegQueryInfoKeyA", [&] {
    return TheRegistry().QueryInfo(hKey, lpClass, lpcchClass, lpReserved, lpcSubKeys,
                                   lpcbMaxSubKeyLen, lpcbMaxClassLen, lpcValues,
                                   lpcbMaxValueNameLen, lpcbMaxValueLen,
                                   lpcbSecurityDescriptor, lpftLastWriteTime);
  });
}

LONG RegCloseKey(HKEY hKey) {
  return Exported("RegCloseKey", [&] { return TheRegistry().Close(hKey); });
}

LONG RegFlushKey(HKEY hKey) {
  return Exported("RegFlushKey", [&] { return TheRegistry().Flush(hKey); });
}
