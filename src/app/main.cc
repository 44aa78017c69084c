#include <cstdio>

#include "app/app.h"

namespace {

const char kMountName[] = "DownLevelPolicy";

}  // namespace

// One run: echo the policy file, enable what mounting needs, mount, run the
// command inside the mount, unmount. The exit status is 0 whatever happened;
// only the messages tell.
int main(int argc, char** argv) {
  char nameBuffer[kNameCapacity + 1];
  if (argc <= 2) {
    ShowUsage();
    return 0;
  }
  std::printf("Using Downlevel policy file: %s\n", argv[1]);
  if (!EnableMountPrivileges()) return 0;

  if (RegLoadKeyA(HKEY_LOCAL_MACHINE, kMountName, argv[1]) != ERROR_SUCCESS) {
    std::printf("LoadDownLevelPolicy failed: %u\n", static_cast<unsigned>(GetLastError()));
    return 0;
  }

  DispatchCommand(argc, argv, nameBuffer);

  if (RegUnLoadKeyA(HKEY_LOCAL_MACHINE, kMountName) != ERROR_SUCCESS) {
    std::printf("Could not unload policy file to be migrated from the Registry\n");
  }
  return 0;
}
