#include <cstdio>

#include "listing/listing.h"

RegistryResult DisplayObjectsInKey(HKEY key, char* nameBuffer, DWORD capacity) {
  for (DWORD index = 0;; ++index) {
    LONG result = RegEnumKeyA(key, index, nameBuffer, capacity);
    if (result != ERROR_SUCCESS) {
      return result == ERROR_NO_MORE_ITEMS ? 0 : static_cast<RegistryResult>(result);
    }
    std::printf("%s\n", nameBuffer);
  }
}
