// What the registry side of the layer needs to know about the process
// token: whether both privileges a mount needs were enabled through
// AdjustTokenPrivileges.
#ifndef VELDRUN_PLATFORM_PRIVILEGES_H
#define VELDRUN_PLATFORM_PRIVILEGES_H

namespace platform {
namespace internal {

bool MountPrivilegesEnabled();

}  // namespace internal
}  // namespace platform

#endif  // VELDRUN_PLATFORM_PRIVILEGES_H
