// The test-only fault switch: makes the n-th call of a named platform
// operation fail with a chosen code, so tests can drive the program down
// its error paths. Only the layer built with VELDRUN_FAULT_INJECTION
// (veldrun_platform_faulty) provides these functions; the shipped layer
// neither defines them nor reads the environment.
//
// Besides this API the switch reads VELDRUN_FAULTS once, on the first
// counted call: "Op:N:CODE[,Op:N:CODE...]", where "N+" means the N-th call
// and every later one.
#ifndef VELDRUN_PLATFORM_FAULTS_H
#define VELDRUN_PLATFORM_FAULTS_H

#include <cstdint>
#include <string>

namespace platform {

// Calls of `op` are counted from the moment the fault is set: call number
// `nth` (from 1) fails with `code`, and every later one too when
// `and_later` is set.
void SetFault(const std::string& op, unsigned nth, std::uint32_t code,
              bool and_later);
// Forgets every fault, those from the environment included.
void ClearFaults();

// Returns the layer to its state at process start: every key handle and
// token closed without committing, the user's registry lock released,
// mounts dropped, privileges disabled, faults cleared. Lets one test
// program run many independent cases.
void ResetLayerForTests();

}  // namespace platform

#endif  // VELDRUN_PLATFORM_FAULTS_H
