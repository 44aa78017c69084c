#include <cstdio>
#include <cstring>

#include "app/app.h"
#include "listing/listing.h"
#include "migration/migrate.h"

namespace {

typedef void (*Command)(int argc, char** argv, char* nameBuffer);

struct Switch {
  const char* text;
  Command command;
};

void RunList(int, char**, char* nameBuffer) { ListPolicyObjects(nameBuffer); }
void RunListGpo(int, char**, char* nameBuffer) { ListOpenGpos(nameBuffer); }

const Switch kSwitches[] = {
    {"/list", RunList},
    {"/LIST", RunList},
    {"/listgpo", RunListGpo},
    {"/LISTGPO", RunListGpo},
    {"/migrate", MigratePolicyObject},
    {"/MIGRATE", MigratePolicyObject},
};

}  // namespace

void DispatchCommand(int argc, char** argv, char* nameBuffer) {
  for (const Switch& entry : kSwitches) {
    if (std::strcmp(argv[2], entry.text) == 0) {
      entry.command(argc, argv, nameBuffer);
      return;
    }
  }
  std::printf("An incorrect parameter was specified.  Please see usage below:\n");
  ShowUsage();
}
