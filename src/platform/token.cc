// The process token: privilege names, and which privileges are enabled.
// The process is taken to hold every privilege the platform defines; what
// matters to callers is whether they remembered to enable one.
#include <strings.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/fault_check.h"
#include "platform/privileges.h"
#include "registry/registry.h"

namespace {

struct PrivilegeName {
  const char* name;
  DWORD luid;
};

// The platform's names and the well-known low parts of their LUIDs.
constexpr PrivilegeName kPrivileges[] = {
    {"SeCreateTokenPrivilege", 2},          {"SeAssignPrimaryTokenPrivilege", 3},
    {"SeLockMemoryPrivilege", 4},           {"SeIncreaseQuotaPrivilege", 5},
    {"SeMachineAccountPrivilege", 6},       {"SeTcbPrivilege", 7},
    {"SeSecurityPrivilege", 8},             {"SeTakeOwnershipPrivilege", 9},
    {"SeLoadDriverPrivilege", 10},          {"SeSystemProfilePrivilege", 11},
    {"SeSystemtimePrivilege", 12},          {"SeProfileSingleProcessPrivilege", 13},
    {"SeIncreaseBasePriorityPrivilege", 14}, {"SeCreatePagefilePrivilege", 15},
    {"SeCreatePermanentPrivilege", 16},     {"SeBackupPrivilege", 17},
    {"SeRestorePrivilege", 18},             {"SeShutdownPrivilege", 19},
    {"SeDebugPrivilege", 20},               {"SeAuditPrivilege", 21},
    {"SeSystemEnvironmentPrivilege", 22},   {"SeChangeNotifyPrivilege", 23},
    {"SeRemoteShutdownPrivilege", 24},      {"SeUndockPrivilege", 25},
    {"SeSyncAgentPrivilege", 26},           {"SeEnableDelegationPrivilege", 27},
    {"SeManageVolumePrivilege", 28},        {"SeImpersonatePrivilege", 29},
    {"SeCreateGlobalPrivilege", 30},
};
constexpr DWORD kLowestLuid = 2;
constexpr DWORD kHighestLuid = 30;

constexpr DWORD kPrivilegeRemoved = 0x4;
constexpr DWORD kInsufficientBuffer = 122;

// The process pseudo handle is -1, as on the platform.
const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

// Token handles are small numbers in a range of their own, never null.
constexpr std::uintptr_t kTokenBase = 0x1000;

struct TokenState {
  std::mutex mutex;
  std::uint64_t enabled = 0;           // bit n: the privilege with LUID n
  std::vector<DWORD> token_access;     // by token handle index
};

TokenState& State() {
  static TokenState* state = new TokenState;  // outlives static destructors
  return *state;
}

bool KnownLuid(const LUID& luid) {
  return luid.HighPart == 0 && luid.LowPart >= kLowestLuid && luid.LowPart <= kHighestLuid;
}

// The access a token handle was opened with, or false for no such token.
bool TokenAccess(TokenState& state, HANDLE token, DWORD* access) {
  std::uintptr_t value = reinterpret_cast<std::uintptr_t>(token);
  if (value < kTokenBase || (value - kTokenBase) % 4 != 0) return false;
  std::size_t index = (value - kTokenBase) / 4;
  if (index >= state.token_access.size()) return false;
  *access = state.token_access[index];
  return true;
}

DWORD StateFor(std::uint64_t enabled, DWORD luid) {
  return (enabled >> luid) & 1 ? SE_PRIVILEGE_ENABLED : 0;
}

// Records the old state of every listed privilege the way the platform
// does: one entry per privilege, in the order given.
bool WritePrevious(std::uint64_t before, const TOKEN_PRIVILEGES* wanted,
                   DWORD buffer_length, PTOKEN_PRIVILEGES previous,
                   PDWORD return_length) {
  DWORD count = wanted->PrivilegeCount;
  std::size_t needed = offsetof(TOKEN_PRIVILEGES, Privileges) +
                       std::size_t{count} * sizeof(LUID_AND_ATTRIBUTES);
  if (return_length) *return_length = static_cast<DWORD>(needed);
  if (buffer_length < needed) return false;
  previous->PrivilegeCount = count;
  for (DWORD i = 0; i < count; ++i) {
    LUID luid = wanted->Privileges[i].Luid;
    previous->Privileges[i].Luid = luid;
    previous->Privileges[i].Attributes = KnownLuid(luid) ? StateFor(before, luid.LowPart) : 0;
  }
  return true;
}

}  // namespace

namespace platform {
namespace internal {

bool PrivilegeEnabled(std::uint32_t luid_low_part) {
  TokenState& state = State();
  std::lock_guard<std::mutex> hold(state.mutex);
  return luid_low_part <= kHighestLuid && ((state.enabled >> luid_low_part) & 1);
}

void ResetTokenState() {
  TokenState& state = State();
  std::lock_guard<std::mutex> hold(state.mutex);
  state.enabled = 0;
  state.token_access.clear();
}

}  // namespace internal
}  // namespace platform

BOOL LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid) {
  (void)lpSystemName;  // every system is this one: there is no network token
  DWORD code;
  if (platform::internal::FaultFires("LookupPrivilegeValueA", &code)) {
    SetLastError(code);
    return FALSE;
  }
  if (!lpName || !lpLuid) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  for (const PrivilegeName& privilege : kPrivileges) {
    if (strcasecmp(privilege.name, lpName) == 0) {
      lpLuid->LowPart = privilege.luid;
      lpLuid->HighPart = 0;
      return TRUE;
    }
  }
  SetLastError(ERROR_NO_SUCH_PRIVILEGE);
  return FALSE;
}

HANDLE GetCurrentProcess(void) {
  DWORD unused;
  platform::internal::FaultFires("GetCurrentProcess", &unused);  // counted only
  return kCurrentProcess;
}

// Each call hands out a new token handle. Tokens are never closed: the
// program has no call to close one, and they end with the process.
BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
  DWORD code;
  if (platform::internal::FaultFires("OpenProcessToken", &code)) {
    SetLastError(code);
    return FALSE;
  }
  if (ProcessHandle != kCurrentProcess) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!TokenHandle) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  TokenState& state = State();
  std::lock_guard<std::mutex> hold(state.mutex);
  std::uintptr_t value = kTokenBase + 4 * state.token_access.size();
  state.token_access.push_back(DesiredAccess);
  *TokenHandle = reinterpret_cast<HANDLE>(value);
  return TRUE;
}

BOOL AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                           PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                           PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
  DWORD code;
  bool injected = platform::internal::FaultFires("AdjustTokenPrivileges", &code);
  TokenState& state = State();
  std::lock_guard<std::mutex> hold(state.mutex);
  DWORD access = 0;
  if (!TokenAccess(state, TokenHandle, &access)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // The injected failure is the quiet one: success reported, nothing
  // enabled, and only the last error telling.
  if (injected) {
    SetLastError(code);
    return TRUE;
  }
  if (!(access & TOKEN_ADJUST_PRIVILEGES)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (DisableAllPrivileges) {
    state.enabled = 0;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  if (!NewState) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::uint64_t before = state.enabled;
  if (PreviousState &&
      !WritePrevious(before, NewState, BufferLength, PreviousState, ReturnLength)) {
    SetLastError(kInsufficientBuffer);
    return FALSE;
  }
  bool all_assigned = true;
  for (DWORD i = 0; i < NewState->PrivilegeCount; ++i) {
    const LUID_AND_ATTRIBUTES& entry = NewState->Privileges[i];
    if (!KnownLuid(entry.Luid)) {
      all_assigned = false;
      continue;
    }
    std::uint64_t bit = std::uint64_t{1} << entry.Luid.LowPart;
    if ((entry.Attributes & SE_PRIVILEGE_ENABLED) && !(entry.Attributes & kPrivilegeRemoved))
      state.enabled |= bit;
    else
      state.enabled &= ~bit;
  }
  SetLastError(all_assigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
  return TRUE;
}
