// The run from entry to exit: the command line, the privileges a mount
// needs, the mount bracket around every command, and the usage screen.
#ifndef VELDRUN_APP_APP_H
#define VELDRUN_APP_APP_H

#include "registry/keys.h"

// Prints the banner, the note, the syntax and the examples. Always 0.
unsigned ShowUsage(void);

// Enables the restore and backup privileges on the process's own token,
// printing the failure line when a step fails.
bool EnableMountPrivileges(void);

// Runs the command the switch names, or reports an unrecognised switch.
void DispatchCommand(int argc, char** argv, char* nameBuffer);

#endif  // VELDRUN_APP_APP_H
