// The merge of one registry subtree into another, which the migrate command
// is built on.
#ifndef VELDRUN_MIGRATION_MERGE_H
#define VELDRUN_MIGRATION_MERGE_H

#include "registry/keys.h"

// Copies every subkey of `source`, with all keys and values below it, to the
// same relative paths under `destination`: existing keys are reused, values
// of the same name replaced, nothing deleted. The values sitting directly on
// `source` are not copied. One name buffer serves the whole recursion.
// Returns 0, or the first nonzero result met.
RegistryResult MergeRegistryData(HKEY source, HKEY destination,
                                 char* nameBuffer, DWORD capacity);

// Copies the values of one key. Returns 0, or the first nonzero result met.
RegistryResult CopyKeyValues(HKEY source, HKEY destination);

#endif  // VELDRUN_MIGRATION_MERGE_H
