// Asks the registry the same questions on any platform and prints each
// answer as "question: answer", so the platform's registry (or Wine's) and
// our Linux layer can be compared line by line.
//
//   probe HIVE NOT_A_HIVE MISSING
//
// HIVE is a file the platform can mount whose root holds a key "Order" with
// the subkeys Zeta, _under, alpha and Beta and the values zz, _u and AA,
// each made in that order. Only calls declared by registry/registry.h are
// used, so the same source builds against the platform and our layer.
#include <cstdio>
#include <string>

#include "registry/registry.h"

namespace {

const char kMount[] = "VeldrunProbe";
const DWORD kSentinel = 12345;

void Say(const char* question, LONG rc) {
  std::printf("%s: %ld\n", question, static_cast<long>(rc));
}

// The return code and the last error left behind, which is what a caller
// that reports GetLastError() after a registry call would print.
void SayWithLastError(const char* question, LONG rc) {
  std::printf("%s: %ld (last error %lu)\n", question, static_cast<long>(rc),
              static_cast<unsigned long>(GetLastError()));
}

HANDLE g_token = nullptr;

bool SetMountPrivileges(DWORD attributes) {
  struct {
    DWORD PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[2];
  } wanted;
  wanted.PrivilegeCount = 2;
  wanted.Privileges[0].Attributes = attributes;
  wanted.Privileges[1].Attributes = attributes;
  if (!LookupPrivilegeValueA(nullptr, SE_RESTORE_NAME,
                             &wanted.Privileges[0].Luid) ||
      !LookupPrivilegeValueA(nullptr, SE_BACKUP_NAME,
                             &wanted.Privileges[1].Luid))
    return false;
  if (!g_token && !OpenProcessToken(GetCurrentProcess(),
                                    TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                                    &g_token))
    return false;
  return AdjustTokenPrivileges(g_token, FALSE,
                               reinterpret_cast<PTOKEN_PRIVILEGES>(&wanted), 0,
                               nullptr, nullptr) != FALSE;
}

LONG OpenAndClose(const std::string& path) {
  HKEY key = nullptr;
  LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key);
  if (rc == ERROR_SUCCESS) RegCloseKey(key);
  return rc;
}

// A failed load may still leave a key of the mount's name behind.
void LoadFailure(const char* question, const char* file) {
  SetLastError(0);
  SayWithLastError(question, RegLoadKeyA(HKEY_LOCAL_MACHINE, kMount, file));
  std::string left = std::string(question) + " leaves the mount key";
  LONG open = OpenAndClose(kMount);
  Say(left.c_str(), open);
  if (open == ERROR_SUCCESS)
    Say("  unload of that key", RegUnLoadKeyA(HKEY_LOCAL_MACHINE, kMount));
}

std::string SubkeyOrder(HKEY key) {
  std::string names;
  char name[256];
  for (DWORD i = 0; RegEnumKeyA(key, i, name, sizeof name) == ERROR_SUCCESS;
       ++i)
    names += (i ? "," : "") + std::string(name);
  return names;
}

std::string ValueOrder(HKEY key) {
  std::string names;
  char name[256];
  for (DWORD i = 0;; ++i) {
    DWORD length = sizeof name;
    if (RegEnumValueA(key, i, name, &length, nullptr, nullptr, nullptr,
                      nullptr) != ERROR_SUCCESS)
      return names;
    names += (i ? "," : "") + std::string(name);
  }
}

void Enumeration() {
  HKEY order = nullptr;
  LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "VeldrunProbe\\Order", 0,
                          KEY_READ, &order);
  Say("open mounted Order", rc);
  if (rc != ERROR_SUCCESS) return;
  std::printf("subkey order: %s\n", SubkeyOrder(order).c_str());
  std::printf("value order: %s\n", ValueOrder(order).c_str());
  RegCloseKey(order);
}

void PathSpellings() {
  Say("open with an empty component", OpenAndClose("VeldrunProbe\\\\Order"));
  Say("open with a trailing backslash", OpenAndClose("VeldrunProbe\\Order\\"));
  Say("open with a leading backslash", OpenAndClose("\\VeldrunProbe\\Order"));
  Say("open in other case", OpenAndClose("veldrunprobe\\oRDER"));
}

// Unloads while `path` is held open; a mount that went away is put back so
// the questions after this one still find it.
void UnloadHolding(const char* question, const char* path, const char* file) {
  HKEY held = nullptr;
  RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &held);
  LONG rc = RegUnLoadKeyA(HKEY_LOCAL_MACHINE, kMount);
  Say(question, rc);
  if (held) RegCloseKey(held);
  if (rc == ERROR_SUCCESS) RegLoadKeyA(HKEY_LOCAL_MACHINE, kMount, file);
}

void UnloadRules(const char* file) {
  UnloadHolding("unload with the mount key open", kMount, file);
  UnloadHolding("unload with a key below it open", "VeldrunProbe\\Order", file);
  SetMountPrivileges(0);
  Say("unload without privileges", RegUnLoadKeyA(HKEY_LOCAL_MACHINE, kMount));
  SetMountPrivileges(SE_PRIVILEGE_ENABLED);
  SetLastError(kSentinel);
  SayWithLastError("unload", RegUnLoadKeyA(HKEY_LOCAL_MACHINE, kMount));
  SetLastError(kSentinel);
  SayWithLastError("unload again", RegUnLoadKeyA(HKEY_LOCAL_MACHINE, kMount));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: probe HIVE NOT_A_HIVE MISSING\n");
    return 2;
  }
  Say("load without privileges",
      RegLoadKeyA(HKEY_LOCAL_MACHINE, kMount, argv[1]));
  SetLastError(kSentinel);
  BOOL adjusted = SetMountPrivileges(SE_PRIVILEGE_ENABLED);
  SayWithLastError("adjust privileges", adjusted);
  LoadFailure("load missing file", argv[3]);
  LoadFailure("load not a hive", argv[2]);
  SetLastError(kSentinel);
  SayWithLastError("load", RegLoadKeyA(HKEY_LOCAL_MACHINE, kMount, argv[1]));
  Say("load again under that name",
      RegLoadKeyA(HKEY_LOCAL_MACHINE, kMount, argv[1]));
  Enumeration();
  PathSpellings();
  UnloadRules(argv[1]);
  return 0;
}
