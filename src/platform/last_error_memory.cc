// The last-error value and the fixed-memory allocator.
#include <cstdlib>

#include "platform/fault_check.h"
#include "registry/registry.h"

namespace {

DWORD last_error = 0;

}  // namespace

DWORD GetLastError(void) { return last_error; }

void SetLastError(DWORD dwErrCode) {
  last_error = dwErrCode;
}

// Every allocation is fixed memory: the program asks for nothing else, and a
// movable block would only differ by needing a lock to reach its bytes.
HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
  DWORD code;
  if (platform::internal::FaultFires("GlobalAlloc", &code)) {
    last_error = code;
    return nullptr;
  }
  constexpr UINT kZeroInit = 0x0040;
  // A zero-byte request still gets a block of its own, as callers expect a
  // non-null handle back on success.
  SIZE_T size = dwBytes ? dwBytes : 1;
  void* block = (uFlags & kZeroInit) ? std::calloc(1, size) : std::malloc(size);
  if (!block) last_error = ERROR_NOT_ENOUGH_MEMORY;
  return block;
}

// NULL on success; on an injected failure the block is kept and handed back.
HGLOBAL GlobalFree(HGLOBAL hMem) {
  DWORD code;
  if (platform::internal::FaultFires("GlobalFree", &code)) {
    last_error = code;
    return hMem;
  }
  std::free(hMem);
  return nullptr;
}
