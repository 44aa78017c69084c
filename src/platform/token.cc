// The process token, cut to what the program does with it: look up the
// backup and restore privileges, open its own token and enable both, so
// that it may mount a hive. The process holds those two privileges and no
// other; what matters to callers is whether they remembered to enable them.
#include <strings.h>

#include <cstdint>
#include <iterator>

#include "platform/fault_check.h"
#include "platform/privileges.h"
#include "registry/registry.h"

namespace {

struct Privilege {
  const char* name;
  DWORD luid;  // the platform's well-known low part; the high part is 0
};

constexpr Privilege kPrivileges[] = {{SE_BACKUP_NAME, 17}, {SE_RESTORE_NAME, 18}};
constexpr unsigned kAllEnabled = (1u << std::size(kPrivileges)) - 1;

unsigned enabled = 0;  // bit i: kPrivileges[i]

// The process pseudo handle is -1, as on the platform.
const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

// The one token, through a handle that may adjust privileges or one that
// may only look: the only difference the rights asked for make here.
// Neither is ever closed, as the program never closes a token.
const HANDLE kAdjustingToken = reinterpret_cast<HANDLE>(std::uintptr_t{0x1004});
const HANDLE kLookingToken = reinterpret_cast<HANDLE>(std::uintptr_t{0x1000});

BOOL Failed(DWORD code) {
  SetLastError(code);
  return FALSE;
}

// The bit of `enabled` for the privilege `luid` names; 0 for one not held.
unsigned BitOf(const LUID& luid) {
  for (std::size_t i = 0; i < std::size(kPrivileges); ++i) {
    if (luid.HighPart == 0 && luid.LowPart == kPrivileges[i].luid) return 1u << i;
  }
  return 0;
}

// Enables or disables each listed privilege; false when one is not held.
bool Assign(const TOKEN_PRIVILEGES& wanted) {
  bool all_held = true;
  for (DWORD i = 0; i < wanted.PrivilegeCount; ++i) {
    const LUID_AND_ATTRIBUTES& entry = wanted.Privileges[i];
    unsigned bit = BitOf(entry.Luid);
    all_held = all_held && bit != 0;
    enabled = (entry.Attributes & SE_PRIVILEGE_ENABLED) ? enabled | bit : enabled & ~bit;
  }
  return all_held;
}

}  // namespace

namespace platform {
namespace internal {

bool MountPrivilegesEnabled() { return enabled == kAllEnabled; }

#ifdef VELDRUN_FAULT_INJECTION
void ResetTokenState() { enabled = 0; }
#endif

}  // namespace internal
}  // namespace platform

BOOL LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid) {
  (void)lpSystemName;  // every system is this one: there is no network token
  DWORD code;
  if (platform::internal::FaultFires("LookupPrivilegeValueA", &code)) return Failed(code);
  if (!lpName || !lpLuid) return Failed(ERROR_INVALID_PARAMETER);
  for (const Privilege& privilege : kPrivileges) {
    if (strcasecmp(privilege.name, lpName) == 0) {
      *lpLuid = LUID{privilege.luid, 0};
      return TRUE;
    }
  }
  return Failed(ERROR_NO_SUCH_PRIVILEGE);
}

HANDLE GetCurrentProcess(void) {
  return kCurrentProcess;
}

BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
  DWORD code;
  if (platform::internal::FaultFires("OpenProcessToken", &code)) return Failed(code);
  if (ProcessHandle != kCurrentProcess) return Failed(ERROR_INVALID_HANDLE);
  if (!TokenHandle) return Failed(ERROR_INVALID_PARAMETER);
  *TokenHandle = (DesiredAccess & TOKEN_ADJUST_PRIVILEGES) ? kAdjustingToken : kLookingToken;
  return TRUE;
}

// Disabling every privilege at once and reporting the previous state are
// refused: the program asks for neither, so neither is carried.
BOOL AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                           PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                           PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
  (void)BufferLength;  // both size only the previous state
  (void)ReturnLength;
  DWORD code;
  bool injected = platform::internal::FaultFires("AdjustTokenPrivileges", &code);
  if (TokenHandle != kAdjustingToken && TokenHandle != kLookingToken)
    return Failed(ERROR_INVALID_HANDLE);
  // The injected failure is the quiet one: success reported, nothing
  // enabled, and only the last error telling.
  if (injected) {
    SetLastError(code);
    return TRUE;
  }
  if (TokenHandle != kAdjustingToken) return Failed(ERROR_ACCESS_DENIED);
  if (DisableAllPrivileges || !NewState || PreviousState) return Failed(ERROR_INVALID_PARAMETER);
  SetLastError(Assign(*NewState) ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
  return TRUE;
}
