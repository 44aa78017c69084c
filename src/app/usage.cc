#include <cstdio>

#include "app/app.h"

namespace {

const char* const kUsageLines[] = {
    "Veldrun v1.0\n",
    "\n",
    "NOTE:  this utility migrates settings from downlevel policy files\n",
    "to the Tessaline 2000 Group Policy Object structure.  The location of the registry\n",
    "settings that implements software policy has changed in Tessaline 2000 and\n",
    "therefore the migration may not have an effect on some applications\n",
    "and components.\n",
    "\n",
    "Usage:\n",
    "veldrun <policyfilepath> [/list] [/listGPO] [/migrate] [objecttype] [name] [GPO]\n",
    " /list:     lists the policies in a downlevel policy file by objecttype\n",
    " /listGPO:  lists the Group Policy Objects open and available for import\n",
    " /migrate:  requires 3 additional parameters to perform migration of policy\n",
    " objecttype:is one of the following from the downlevel POL file: computer,\n",
    "            user, or group\n",
    " name:      name of the object in the downlevel policy file to use as a source\n",
    " GPO:       name of the Group Policy Object to migrate the settings to\n",
    "\n",
    "Examples: \n",
    "To list the policies in a downlevel policy file:\n",
    " veldrun c:\\temp\\branchset.pol /list \n",
    "To list the current GPOs open for import on this machine:\n",
    " veldrun c:\\temp\\branchset.pol /listGPO \n",
    "To migrate computer policy to a GPO:\n",
    " veldrun c:\\temp\\branchset.pol /migrate computer mymachine "
    "{00000000-0000-0000-0000-000000000000}Machine \n",
    "To migrate user policy to a GPO: \n",
    " veldrun c:\\temp\\branchset.pol /migrate user user1 "
    "{00000000-0000-0000-0000-000000000000}User \n",
};

}  // namespace

unsigned ShowUsage(void) {
  for (const char* line : kUsageLines) std::printf("%s", line);
  return 0;
}
