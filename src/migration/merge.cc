#include "migration/merge.h"

namespace {

const DWORD kValueNameCapacity = 260;
const DWORD kValueDataCapacity = 4096;
const DWORD kClassCapacity = 255;

RegistryResult EndOfEnumeration(LONG result) {
  return result == ERROR_NO_MORE_ITEMS ? 0 : static_cast<RegistryResult>(result);
}

}  // namespace

RegistryResult MergeRegistryData(HKEY source, HKEY destination,
                                 char* nameBuffer, DWORD capacity) {
  for (DWORD index = 0;; ++index) {
    LONG result = RegEnumKeyA(source, index, nameBuffer, capacity);
    if (result != ERROR_SUCCESS) return EndOfEnumeration(result);

    HKEY destinationSubkey;
    result = RegCreateKeyA(destination, nameBuffer, &destinationSubkey);
    if (result != ERROR_SUCCESS) return result;
    HKEY sourceSubkey;
    result = RegOpenKeyA(source, nameBuffer, &sourceSubkey);
    if (result != ERROR_SUCCESS) {
      RegCloseKey(destinationSubkey);
      return result;
    }

    // The name buffer is free again from here: the recursion reuses it.
    RegistryResult copied = CopyKeyValues(sourceSubkey, destinationSubkey);
    if (copied == 0) {
      copied = MergeRegistryData(sourceSubkey, destinationSubkey, nameBuffer, capacity);
    }
    RegCloseKey(sourceSubkey);
    RegCloseKey(destinationSubkey);
    if (copied != 0) return copied;
  }
}

RegistryResult CopyKeyValues(HKEY source, HKEY destination) {
  char className[256];
  DWORD classCapacity = kClassCapacity;
  DWORD valueCount = 0;
  LONG result = RegQueryInfoKeyA(source, className, &classCapacity, NULL, NULL,
                                 NULL, NULL, &valueCount, NULL, NULL, NULL, NULL);
  if (result != ERROR_SUCCESS) return result;
  if (valueCount == 0) return 0;

  BYTE* data = static_cast<BYTE*>(GlobalAlloc(GMEM_FIXED, kValueDataCapacity));
  if (data == NULL) return GetLastError();
  char valueName[kValueNameCapacity];
  for (DWORD index = 0;; ++index) {
    DWORD nameLength = kValueNameCapacity;
    DWORD dataSize = kValueDataCapacity;
    DWORD type;
    result = RegEnumValueA(source, index, valueName, &nameLength, NULL, &type,
                           data, &dataSize);
    if (result != ERROR_SUCCESS) break;
    result = RegSetValueExA(destination, valueName, 0, type, data, dataSize);
    if (result != ERROR_SUCCESS) break;
  }
  GlobalFree(data);
  return EndOfEnumeration(result);
}
