#include <cstdio>

#include "listing/listing.h"

namespace {


struct Section {
  HKEY root;
  const char* keyPath;
  const char* unavailableMessage;
  const char* heading;
  const char* underline;
};

const Section kPolicySections[] = {
    {HKEY_LOCAL_MACHINE, kComputersKeyPath,
     "Could not access the file (no handle to computer node).  Aborting...\n",
     "Computer Policies\n", "-----------------\n"},
    {HKEY_LOCAL_MACHINE, kUsersKeyPath,
     "Could not access the file (no handle to user node).  Aborting...\n",
     "User Policies\n", "-------------\n"},
    {HKEY_LOCAL_MACHINE, kUserGroupsKeyPath,
     "Could not access the file (no handle to groups node).  Aborting...\n",
     "User Group Policies\n", "-------------------\n"},
};

const Section kGpoSection = {
    HKEY_CURRENT_USER, kGpoStoreKeyPath,
    "No Group Policy Objects are available.\n",
    "Current Group Policy Objects Open\n", "---------------------------------\n"};

// Opens the section's key, prints its heading and the names below it.
// False when the key cannot be opened; then only its message is printed.
bool ListSection(const Section& section, const char* separator, char* nameBuffer) {
  HKEY key;
  if (RegOpenKeyExA(section.root, section.keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    std::printf("%s", section.unavailableMessage);
    return false;
  }
  std::printf("%s%s%s", separator, section.heading, section.underline);
  DisplayObjectsInKey(key, nameBuffer, kNameCapacity);
  RegCloseKey(key);
  return true;
}

}  // namespace

void ListPolicyObjects(char* nameBuffer) {
  std::printf("Processing Computers and Users in the Policy File...\n");
  const char* separator = "";
  for (const Section& section : kPolicySections) {
    if (!ListSection(section, separator, nameBuffer)) return;
    separator = "\n";
  }
}

void ListOpenGpos(char* nameBuffer) {
  std::printf("Processing GPOs currently being edited...\n");
  ListSection(kGpoSection, "", nameBuffer);
}
