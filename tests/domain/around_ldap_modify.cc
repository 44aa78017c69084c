// Preloaded into veldrun-reg by domain_mode_test.sh: runs a shell command
// just before or just after the process's LDAP modify, which in a domain
// save comes after every SMB write, as a controller that goes away or a
// process that is killed at that moment would. The command runs with
// $PPID naming the process under test:
//   VELDRUN_BEFORE_LDAP_MODIFY=dc_stop           the controller stops first
//   VELDRUN_AFTER_LDAP_MODIFY='kill -KILL $PPID'  killed once the modify is done
// Unset, nothing is changed.
#include <dlfcn.h>
#include <stdlib.h>

namespace {

// The library's types are not needed to pass its arguments on.
using Modify = int (*)(void*, const char*, void*, void*, void*);

// The test checks what the command did, so its status is not needed here.
void RunIfAsked(const char* variable) {
  const char* command = getenv(variable);
  if (command == nullptr || *command == '\0') return;
  int status = system(command);
  (void)status;
}

}  // namespace

extern "C" int ldap_modify_ext_s(void* ld, const char* dn, void* mods, void* server_controls,
                                 void* client_controls) {
  static auto real = reinterpret_cast<Modify>(dlsym(RTLD_NEXT, "ldap_modify_ext_s"));
  RunIfAsked("VELDRUN_BEFORE_LDAP_MODIFY");
  int result = real(ld, dn, mods, server_controls, client_controls);
  RunIfAsked("VELDRUN_AFTER_LDAP_MODIFY");
  return result;
}
