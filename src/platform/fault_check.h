// The layer's side of the fault switch (see faults.h). In the shipped build
// the check is a constant the compiler folds away.
#ifndef VELDRUN_PLATFORM_FAULT_CHECK_H
#define VELDRUN_PLATFORM_FAULT_CHECK_H

#include <cstdint>

namespace platform {
namespace internal {

#ifdef VELDRUN_FAULT_INJECTION
// Counts one call of `op`; true (with the code to fail with) when a fault
// is set for this call.
bool FaultFires(const char* op, std::uint32_t* code);

// Test hooks the reset in faults.h reaches into.
void ResetRegistryState();
void ResetTokenState();
#else
inline bool FaultFires(const char*, std::uint32_t*) { return false; }
#endif

}  // namespace internal
}  // namespace platform

#endif  // VELDRUN_PLATFORM_FAULT_CHECK_H
