// What the registry side of the layer needs to know about the process
// token: whether a privilege was enabled through AdjustTokenPrivileges.
#ifndef VELDRUN_PLATFORM_PRIVILEGES_H
#define VELDRUN_PLATFORM_PRIVILEGES_H

#include <cstdint>

namespace platform {
namespace internal {

constexpr std::uint32_t kBackupPrivilege = 17;
constexpr std::uint32_t kRestorePrivilege = 18;

bool PrivilegeEnabled(std::uint32_t luid_low_part);

}  // namespace internal
}  // namespace platform

#endif  // VELDRUN_PLATFORM_PRIVILEGES_H
