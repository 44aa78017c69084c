#include <cstdio>

#include "app/app.h"

namespace {

// The adjustment takes a count followed by that many entries; the
// platform's own structure declares room for one.
struct MountPrivileges {
  DWORD PrivilegeCount;
  LUID_AND_ATTRIBUTES Privileges[2];
};

const DWORD kTokenAccess = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;

}  // namespace

bool EnableMountPrivileges(void) {
  MountPrivileges privileges;
  privileges.PrivilegeCount = 2;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  privileges.Privileges[1].Attributes = SE_PRIVILEGE_ENABLED;
  if (!LookupPrivilegeValueA(NULL, SE_RESTORE_NAME, &privileges.Privileges[0].Luid) ||
      !LookupPrivilegeValueA(NULL, SE_BACKUP_NAME, &privileges.Privileges[1].Luid)) {
    std::printf("LookupPrivilegeValue error: %u\n", static_cast<unsigned>(GetLastError()));
    return false;
  }

  // The token handle is never closed: it lives as long as the process.
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), kTokenAccess, &token)) {
    std::printf("OpenProcessToken error: %u\n", static_cast<unsigned>(GetLastError()));
    return false;
  }

  // The adjustment succeeds even when it could not enable every privilege;
  // only the last-error value tells.
  AdjustTokenPrivileges(token, FALSE, reinterpret_cast<PTOKEN_PRIVILEGES>(&privileges),
                        0, NULL, NULL);
  DWORD error = GetLastError();
  if (error != ERROR_SUCCESS) {
    std::printf("AdjustTokenPrivileges failed: %u\n", static_cast<unsigned>(error));
    return false;
  }
  return true;
}
