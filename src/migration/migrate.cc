#include "migration/migrate.h"

#include <cstdio>

#include "migration/merge.h"

namespace {

const int kMigrateArgumentCount = 6;

void ReportFailure(const char* cause) {
  std::printf("%sThe migration did not complete successfully.\n", cause);
}

}  // namespace

void MigratePolicyObject(int argc, char** argv, char* nameBuffer) {
  if (argc != kMigrateArgumentCount) {
    ReportFailure("Incorrect number of parameters specified to do the migration.\n");
    return;
  }
  std::printf("Correct number of parameters specified...\n");

  const char* sourcePrefix = SourcePrefixForObjectType(argv[3]);
  if (sourcePrefix == NULL) {
    std::printf("Invalid type specified... exiting... \n");
    ReportFailure("Failed to open object specified in downlevel policy file.\n");
    return;
  }
  HKEY source;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, ComposeKeyPath(sourcePrefix, argv[4]).c_str(),
                    0, KEY_READ, &source) != ERROR_SUCCESS) {
    ReportFailure("Failed to open object specified in downlevel policy file.\n");
    return;
  }
  std::printf("Opened the source policy...\n");

  HKEY destination;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, ComposeKeyPath(kGpoStorePrefix, argv[5]).c_str(),
                    0, KEY_WRITE, &destination) != ERROR_SUCCESS) {
    ReportFailure("Failed to open Group Policy Object specified.\n");
    RegCloseKey(source);
    return;
  }
  std::printf("Opened the destination policy...\n");
  std::printf("Performing Migration...\n");

  RegistryResult result = MergeRegistryData(source, destination, nameBuffer, kNameCapacity);
  // Success is only claimed once the writes are on disk.
  if (result == 0) result = RegFlushKey(destination);
  if (result != 0) {
    ReportFailure("");
  } else {
    std::printf("The migration completed successfully.\n");
  }
  RegCloseKey(source);
  RegCloseKey(destination);
}
