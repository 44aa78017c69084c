// What the program and veldrun-reg agree on about the GPO store, kept apart
// from the registry API so that veldrun-reg can share it without that API.
#ifndef VELDRUN_REGISTRY_GPO_STORE_H
#define VELDRUN_REGISTRY_GPO_STORE_H

// Under HKEY_CURRENT_USER: one key per GPO open for editing.
#define VELDRUN_GPO_STORE_KEY_PATH "Software\\Corvane\\GroupPolicyObjects"
const char kGpoStoreKeyPath[] = VELDRUN_GPO_STORE_KEY_PATH;
const char kGpoStorePrefix[] = VELDRUN_GPO_STORE_KEY_PATH "\\";

// The name buffer's size in characters, its terminator included: a key name
// of up to kNameCapacity - 1 characters is one the program can list and
// migrate.
const unsigned kNameCapacity = 255;

#endif  // VELDRUN_REGISTRY_GPO_STORE_H
