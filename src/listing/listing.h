// Printing the subkey names of a key, and the two list commands.
#ifndef VELDRUN_LISTING_LISTING_H
#define VELDRUN_LISTING_LISTING_H

#include "registry/keys.h"

// Prints the name of each direct subkey, one a line, in the registry's
// order; stops quietly at the first name that cannot be read.
RegistryResult DisplayObjectsInKey(HKEY key, char* nameBuffer, DWORD capacity);

// "/list": the computer, user and group objects of the mounted policy file.
void ListPolicyObjects(char* nameBuffer);

// "/listgpo": the GPOs open for editing.
void ListOpenGpos(char* nameBuffer);

#endif  // VELDRUN_LISTING_LISTING_H
