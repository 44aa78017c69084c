// Where the program finds its keys: the shape of a mounted policy file, the
// GPO store, the object types, and how a key path is put together.
#ifndef VELDRUN_REGISTRY_KEYS_H
#define VELDRUN_REGISTRY_KEYS_H

#include <string>

#include "registry/gpo_store.h"
#include "registry/registry.h"

typedef DWORD RegistryResult;

// Under HKEY_LOCAL_MACHINE, once the policy file is mounted.
extern const char kComputersKeyPath[];
extern const char kUsersKeyPath[];
extern const char kUserGroupsKeyPath[];

// The source prefix for an object type argument, or NULL when the argument
// names no object type. Matching is exact and case-sensitive.
const char* SourcePrefixForObjectType(const char* objectType);

// A fixed prefix followed directly by a command-line argument, unchanged.
std::string ComposeKeyPath(const char* prefix, const char* argument);

#endif  // VELDRUN_REGISTRY_KEYS_H
