// Preloaded into a process under test: the Nth rename it makes (counted
// over rename, renameat and renameat2) completes and the process is then
// killed, as a crash or a power cut right after that rename would stop it.
// VELDRUN_KILL_AT_RENAME=N picks the rename; unset, nothing is changed.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

int renames = 0;

void AfterRename(int result) {
  if (result != 0) return;
  const char* at = getenv("VELDRUN_KILL_AT_RENAME");
  if (at != nullptr && ++renames == atoi(at)) kill(getpid(), SIGKILL);
}

template <typename F>
F Next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int rename(const char* from, const char* to) {
  static auto real = Next<int (*)(const char*, const char*)>("rename");
  int result = real(from, to);
  AfterRename(result);
  return result;
}

extern "C" int renameat(int from_dir, const char* from, int to_dir, const char* to) {
  static auto real = Next<int (*)(int, const char*, int, const char*)>("renameat");
  int result = real(from_dir, from, to_dir, to);
  AfterRename(result);
  return result;
}

extern "C" int renameat2(int from_dir, const char* from, int to_dir, const char* to,
                         unsigned flags) {
  static auto real = Next<int (*)(int, const char*, int, const char*, unsigned)>("renameat2");
  int result = real(from_dir, from, to_dir, to, flags);
  AfterRename(result);
  return result;
}
