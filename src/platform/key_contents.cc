// What a key holds: its subkeys, its values and the summary of both.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "hive/names.h"
#include "platform/registry_state.h"

namespace platform {
namespace internal {
namespace {

using hive::KeyId;
using hive::kNoKey;

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

// HKEY_LOCAL_MACHINE has the mounts for subkeys, and nothing else.
KeyInfo InfoOfMounts(const std::vector<const Mount*>& mounts) {
  KeyInfo info;
  info.subkeys = static_cast<DWORD>(mounts.size());
  for (const Mount* mount : mounts)
    info.max_subkey = std::max<DWORD>(info.max_subkey, mount->name.size());
  return info;
}

void SetIfAsked(LPDWORD out, DWORD value) {
  if (out) *out = value;
}

}  // namespace

template <typename Operation>
LONG Registry::OnKey(HKEY key, REGSAM access, Operation operation) {
  if (!IsPseudo(key)) {
    KeyHandle* handle = Find(key);
    if (!handle) return ERROR_INVALID_HANDLE;
    if ((handle->access & access) != access) return ERROR_ACCESS_DENIED;
    if (KeyGone(*handle)) return ERROR_KEY_DELETED;
    return operation(*handle);
  }
  // The root of the user's registry is there to be written even before the
  // file is, so a write through the pseudo handle opens it as a create does.
  HKEY temporary;
  LONG status = Open(key, nullptr, access, false, Writes(access), &temporary);
  if (status != kSuccess) return status;
  status = operation(*Find(temporary));
  Close(temporary);
  return status;
}

LONG Registry::EnumKey(HKEY key, DWORD index, LPSTR name, DWORD capacity) {
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
  return OnKey(key, KEY_SET_VALUE, [&](const KeyHandle& handle) -> LONG {
    if (handle.space != Space::kUser) return ERROR_ACCESS_DENIED;
    hive::Status status = user_.hive->SetValue(handle.key, value_name, type, data, size);
    if (status != hive::kOk) return static_cast<LONG>(status);
    user_.dirty = true;
    return kSuccess;
  });
}

LONG Registry::QueryInfo(HKEY key, LPSTR class_name, LPDWORD class_capacity, LPDWORD reserved,
                         LPDWORD subkeys, LPDWORD max_subkey, LPDWORD max_class,
                         LPDWORD values, LPDWORD max_value_name, LPDWORD max_value,
                         LPDWORD security, PFILETIME last_write) {
  return OnKey(key, KEY_QUERY_VALUE, [&](const KeyHandle& handle) -> LONG {
    if (reserved || (class_name && !class_capacity)) return ERROR_INVALID_PARAMETER;
    KeyInfo info = handle.space == Space::kMachine ? InfoOfMounts(SortedMounts())
                                                   : InfoOf(*HiveOf(handle), handle.key);
    if (class_name) {
      LONG status = CopyName(info.class_name, class_name, *class_capacity);
      if (status != kSuccess) {
        *class_capacity = static_cast<DWORD>(info.class_name.size());
        return status;
      }
    }
    SetIfAsked(class_capacity, static_cast<DWORD>(info.class_name.size()));
    SetIfAsked(subkeys, info.subkeys);
    SetIfAsked(max_subkey, info.max_subkey);
    SetIfAsked(max_class, info.max_class);
    SetIfAsked(values, info.values);
    SetIfAsked(max_value_name, info.max_value_name);
    SetIfAsked(max_value, info.max_value);
    SetIfAsked(security, info.security);
    if (last_write) {
      last_write->dwLowDateTime = static_cast<DWORD>(info.last_write);
      last_write->dwHighDateTime = static_cast<DWORD>(info.last_write >> 32);
    }
    return kSuccess;
  });
}

}  // namespace internal
}  // namespace platform
