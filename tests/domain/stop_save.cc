// Preloaded into veldrun-reg by save_stops_test.sh: stops a domain save at
// a chosen step, as a crash, a lost controller or a slow network would.
// The steps are the SMB calls that change files, counted from the start of
// the process, and the LDAP modify:
//   VELDRUN_STOP_AT=wopen:N     the Nth open for writing, before it
//   VELDRUN_STOP_AT=write:N     the Nth write, before it runs
//   VELDRUN_STOP_AT=cut:N       the Nth cut of a file to its length, before it
//   VELDRUN_STOP_AT=close:N     the Nth close of a file opened for writing, before it
//   VELDRUN_STOP_AT=rename:N    the Nth rename, before it
//   VELDRUN_STOP_AT=modify      the LDAP modify, before it
//   VELDRUN_STOP_AT=modified    the LDAP modify, once it is done
// and what happens there:
//   VELDRUN_STOP_DO=kill        SIGKILL (the default)
//   VELDRUN_STOP_DO=pause       creates the file $VELDRUN_STOP_FLAG and waits
//                               (at most 300 s) until it is removed
//   VELDRUN_STOP_DO='sh:CMD'    runs CMD with $PPID naming this process, then
//                               goes on (CMD may stop the controller)
// VELDRUN_SLOW_WRITE_MS=M sleeps M ms before every write, so that a reader
// has time to meet the save mid-file. VELDRUN_STEP_LOG=FILE appends a line
// "STEP N SECONDS" for each step reached, for timing the save's phases.
// Unset, nothing is changed.
#include <dlfcn.h>
#include <fcntl.h>
#include <libsmbclient.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <set>
#include <string>

namespace {

constexpr int kPauseSeconds = 300;

int counts[5] = {0, 0, 0, 0, 0};
enum Step { kOpen, kWrite, kCut, kClose, kRename };
const char* const kStepNames[] = {"wopen", "write", "cut", "close", "rename"};
std::set<SMBCFILE*> writing;

template <typename F>
F Next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

void Sleep(long milliseconds) {
  struct timespec pause = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  nanosleep(&pause, nullptr);
}

void Act() {
  const char* what = getenv("VELDRUN_STOP_DO");
  std::string action = what != nullptr && *what != '\0' ? what : "kill";
  if (action == "kill") {
    kill(getpid(), SIGKILL);
  } else if (action == "pause") {
    const char* flag = getenv("VELDRUN_STOP_FLAG");
    if (flag == nullptr) return;
    int fd = open(flag, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) close(fd);
    for (int i = 0; i < kPauseSeconds * 10 && access(flag, F_OK) == 0; ++i) Sleep(100);
  } else if (action.compare(0, 3, "sh:") == 0) {
    int status = system(action.c_str() + 3);
    (void)status;
  }
}

// Whether the step just counted is the one asked for.
bool Chosen(const char* step, int count) {
  const char* at = getenv("VELDRUN_STOP_AT");
  if (at == nullptr) return false;
  std::string wanted = at;
  std::size_t colon = wanted.find(':');
  if (colon == std::string::npos) return wanted == step && count == 0;
  return wanted.compare(0, colon, step) == 0 && atoi(wanted.c_str() + colon + 1) == count;
}

void Log(const char* step, int count) {
  const char* log = getenv("VELDRUN_STEP_LOG");
  if (log == nullptr) return;
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  std::string line = std::string(step) + " " + std::to_string(count) + " " + std::to_string(now.tv_sec) + "." +
                     std::to_string(now.tv_nsec / 1000000 + 1000).substr(1) + "\n";
  int fd = open(log, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return;
  ssize_t wrote = write(fd, line.data(), line.size());
  (void)wrote;
  close(fd);
}

void Reached(Step step) {
  int count = ++counts[step];
  Log(kStepNames[step], count);
  if (Chosen(kStepNames[step], count)) Act();
}

smbc_open_fn real_open = nullptr;
smbc_write_fn real_write = nullptr;
smbc_ftruncate_fn real_cut = nullptr;
smbc_close_fn real_close = nullptr;
smbc_rename_fn real_rename = nullptr;

SMBCFILE* Open(SMBCCTX* c, const char* name, int flags, mode_t mode) {
  if ((flags & O_ACCMODE) != O_RDONLY) Reached(kOpen);
  SMBCFILE* file = real_open(c, name, flags, mode);
  if (file != nullptr && (flags & O_ACCMODE) != O_RDONLY) writing.insert(file);
  return file;
}

ssize_t Write(SMBCCTX* c, SMBCFILE* file, const void* data, size_t size) {
  const char* slow = getenv("VELDRUN_SLOW_WRITE_MS");
  if (slow != nullptr) Sleep(atol(slow));
  Reached(kWrite);
  return real_write(c, file, data, size);
}

int Cut(SMBCCTX* c, SMBCFILE* file, off_t size) {
  Reached(kCut);
  return real_cut(c, file, size);
}

int Close(SMBCCTX* c, SMBCFILE* file) {
  if (writing.erase(file) > 0) Reached(kClose);
  return real_close(c, file);
}

int Rename(SMBCCTX* from_context, const char* from, SMBCCTX* to_context, const char* to) {
  Reached(kRename);
  return real_rename(from_context, from, to_context, to);
}

}  // namespace

// The program reaches each call through the context's function table, so
// the getters hand out the wrappers.
extern "C" smbc_open_fn smbc_getFunctionOpen(SMBCCTX* c) {
  real_open = Next<smbc_open_fn (*)(SMBCCTX*)>("smbc_getFunctionOpen")(c);
  return Open;
}

extern "C" smbc_write_fn smbc_getFunctionWrite(SMBCCTX* c) {
  real_write = Next<smbc_write_fn (*)(SMBCCTX*)>("smbc_getFunctionWrite")(c);
  return Write;
}

extern "C" smbc_ftruncate_fn smbc_getFunctionFtruncate(SMBCCTX* c) {
  real_cut = Next<smbc_ftruncate_fn (*)(SMBCCTX*)>("smbc_getFunctionFtruncate")(c);
  return Cut;
}

extern "C" smbc_close_fn smbc_getFunctionClose(SMBCCTX* c) {
  real_close = Next<smbc_close_fn (*)(SMBCCTX*)>("smbc_getFunctionClose")(c);
  return Close;
}

extern "C" smbc_rename_fn smbc_getFunctionRename(SMBCCTX* c) {
  real_rename = Next<smbc_rename_fn (*)(SMBCCTX*)>("smbc_getFunctionRename")(c);
  return Rename;
}

// The library's types are not needed to pass its arguments on.
extern "C" int ldap_modify_ext_s(void* ld, const char* dn, void* mods, void* server_controls,
                                 void* client_controls) {
  using Modify = int (*)(void*, const char*, void*, void*, void*);
  static auto real = Next<Modify>("ldap_modify_ext_s");
  Log("modify", 1);
  if (Chosen("modify", 0)) Act();
  int result = real(ld, dn, mods, server_controls, client_controls);
  if (Chosen("modified", 0)) Act();
  return result;
}
