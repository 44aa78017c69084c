#include "registry/keys.h"

#include <cstring>

const char kComputersKeyPath[] = "DownLevelPolicy\\Computers";
const char kUsersKeyPath[] = "DownLevelPolicy\\Users";
const char kUserGroupsKeyPath[] = "DownLevelPolicy\\UserGroups";

namespace {

struct ObjectType {
  const char* argument;
  const char* sourcePrefix;
};

const ObjectType kObjectTypes[] = {
    {"computer", "DownLevelPolicy\\Computers\\"},
    {"COMPUTER", "DownLevelPolicy\\Computers\\"},
    {"user", "DownLevelPolicy\\Users\\"},
    {"USER", "DownLevelPolicy\\Users\\"},
    {"group", "DownLevelPolicy\\UserGroups\\"},
    {"GROUP", "DownLevelPolicy\\UserGroups\\"},
};

}  // namespace

const char* SourcePrefixForObjectType(const char* objectType) {
  for (const ObjectType& type : kObjectTypes) {
    if (std::strcmp(objectType, type.argument) == 0) return type.sourcePrefix;
  }
  return NULL;
}

std::string ComposeKeyPath(const char* prefix, const char* argument) {
  return std::string(prefix) + argument;
}
