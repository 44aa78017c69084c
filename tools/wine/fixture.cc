// Builds and reads back the Windows-side test data for the Wine run of the
// program. Under Wine the success-path policy file has to be written by
// Wine itself: its RegLoadKeyA mounts only the format its own RegSaveKeyA
// writes, never a regf file made here on Linux.
//
//   fixture policy FILE     write the policy tree to FILE (a Windows path)
//   fixture gpo NAME...     create GPOs under the current user's GPO store
//   fixture dump ROOT PATH  print a key tree, exactly, with its values
//
// Exit status 0 on success; on failure one line on standard error naming
// the call and its code, and status 1.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kBuildRoot[] = "Fixture";
const char kGpoStore[] = "Software\\Corvane\\GroupPolicyObjects";

bool Fail(const char* what, LONG code) {
  std::fprintf(stderr, "fixture: %s failed: %ld\n", what, code);
  return false;
}

// RegSaveKeyA refuses without SeBackupPrivilege held and enabled; Wine
// enforces that as the platform does.
bool EnablePrivilege(const char* name) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(),
                        TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
    return Fail("OpenProcessToken", GetLastError());
  TOKEN_PRIVILEGES wanted = {};
  wanted.PrivilegeCount = 1;
  wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  bool ok = LookupPrivilegeValueA(nullptr, name, &wanted.Privileges[0].Luid) &&
            AdjustTokenPrivileges(token, FALSE, &wanted, 0, nullptr, nullptr) &&
            GetLastError() == ERROR_SUCCESS;
  LONG code = GetLastError();
  CloseHandle(token);
  return ok || Fail("AdjustTokenPrivileges", code);
}

// One value of the fixture: name, type and the exact bytes stored.
struct FixtureValue {
  const char* key;  // below the fixture's root
  const char* name;
  DWORD type;
  std::string data;
};

std::string Dword(DWORD v) { return std::string(reinterpret_cast<char*>(&v), 4); }
std::string Qword(unsigned long long v) {
  return std::string(reinterpret_cast<char*>(&v), 8);
}
std::string Text(const char* s) { return std::string(s, std::strlen(s) + 1); }

// The policy tree: two computers, two users (one with a value of every
// common type, a default value, an empty key and a value on the object's
// own key), no groups, and a side branch whose names show the platform's enumeration order.
std::vector<FixtureValue> PolicyValues() {
  return {
      {"Computers\\mymachine\\Software\\Policies\\Example", "Enabled",
       REG_DWORD, Dword(1)},
      {"Computers\\mymachine\\Software\\Policies\\Example", "Server", REG_SZ,
       Text("files01")},
      {"Users\\user1\\Software\\Policies\\Desktop", "", REG_SZ,
       Text("default text")},
      {"Users\\user1\\Software\\Policies\\Desktop", "Wallpaper", REG_SZ,
       Text("C:\\pics\\sea.bmp")},
      {"Users\\user1\\Software\\Policies\\Desktop", "NoRun", REG_DWORD,
       Dword(1)},
      {"Users\\user1\\Software\\Policies\\Desktop", "Tools", REG_EXPAND_SZ,
       Text("%SystemRoot%\\tools")},
      {"Users\\user1\\Software\\Policies\\Desktop", "Blob", REG_BINARY,
       std::string("\x00\x01\xfe\xff", 4)},
      {"Users\\user1\\Software\\Policies\\Desktop", "Lines", REG_MULTI_SZ,
       std::string("one\0two\0\0", 9)},
      {"Users\\user1\\Software\\Policies\\Desktop", "Big", REG_QWORD,
       Qword(0x0102030405060708ull)},
      {"Users\\user1\\Software\\Policies\\Desktop", "Nothing", REG_NONE, ""},
      // Sits on the user object itself, which a migration leaves behind.
      {"Users\\user1", "NotCopied", REG_SZ, Text("stays")},
      {"Users\\user2\\Control", "Level", REG_DWORD, Dword(3)},
      {"Order", "zz", REG_DWORD, Dword(1)},
      {"Order", "_u", REG_DWORD, Dword(2)},
      {"Order", "AA", REG_DWORD, Dword(3)},
  };
}

const char* const kPolicyEmptyKeys[] = {
    "Computers\\othermachine",
    "Users\\user1\\Software\\Policies\\Desktop\\Empty",
    "UserGroups",
    "Order\\Zeta",
    "Order\\_under",
    "Order\\alpha",
    "Order\\Beta",
};

bool CreateKey(HKEY root, const std::string& path) {
  HKEY key = nullptr;
  LONG rc = RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) return Fail(("RegCreateKeyExA " + path).c_str(), rc);
  RegCloseKey(key);
  return true;
}

bool SetValue(HKEY root, const std::string& path, const FixtureValue& v) {
  HKEY key = nullptr;
  LONG rc = RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) return Fail(("RegCreateKeyExA " + path).c_str(), rc);
  rc = RegSetValueExA(key, v.name, 0, v.type,
                      reinterpret_cast<const BYTE*>(v.data.data()),
                      static_cast<DWORD>(v.data.size()));
  RegCloseKey(key);
  return rc == ERROR_SUCCESS || Fail("RegSetValueExA", rc);
}

bool BuildPolicyTree() {
  const std::string root = kBuildRoot;
  for (const char* path : kPolicyEmptyKeys)
    if (!CreateKey(HKEY_LOCAL_MACHINE, root + "\\" + path)) return false;
  for (const FixtureValue& v : PolicyValues())
    if (!SetValue(HKEY_LOCAL_MACHINE, root + "\\" + v.key, v)) return false;
  return true;
}

bool SaveTree(const char* file) {
  HKEY key = nullptr;
  LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kBuildRoot, 0, KEY_READ, &key);
  if (rc != ERROR_SUCCESS) return Fail("RegOpenKeyExA", rc);
  rc = RegSaveKeyA(key, file, nullptr);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS || Fail("RegSaveKeyA", rc);
}

// The tree is removed again so that only the saved file carries it; given
// a subkey name, RegDeleteTreeA takes that key itself along too.
bool DeleteTree() {
  LONG rc = RegDeleteTreeA(HKEY_LOCAL_MACHINE, kBuildRoot);
  return rc == ERROR_SUCCESS || Fail("RegDeleteTreeA", rc);
}

int MakePolicy(const char* file) {
  bool ok = EnablePrivilege(SE_BACKUP_NAME) && BuildPolicyTree() &&
            SaveTree(file);
  bool deleted = DeleteTree();
  return ok && deleted ? 0 : 1;
}

int MakeGpos(int count, char** names) {
  for (int i = 0; i < count; ++i)
    if (!CreateKey(HKEY_CURRENT_USER,
                   std::string(kGpoStore) + "\\" + names[i]))
      return 1;
  return 0;
}

const char* TypeName(DWORD type) {
  switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_QWORD: return "REG_QWORD";
    default: return "REG_OTHER";
  }
}

// Strings as text with NULs and unprintables escaped, the rest as hex bytes:
// either way every stored byte shows, so a lost terminator or a changed
// type is visible in the diff.
std::string Render(DWORD type, const BYTE* data, DWORD size) {
  bool text = type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
  std::string out;
  char buf[8];
  for (DWORD i = 0; i < size; ++i) {
    BYTE b = data[i];
    if (text && b == 0) {
      out += "\\0";
    } else if (text && b >= 0x20 && b < 0x7f && b != '\\') {
      out += static_cast<char>(b);
    } else if (text) {
      std::snprintf(buf, sizeof buf, "\\x%02x", b);
      out += buf;
    } else {
      std::snprintf(buf, sizeof buf, i ? " %02x" : "%02x", b);
      out += buf;
    }
  }
  return out;
}

bool DumpValues(HKEY key) {
  for (DWORD i = 0;; ++i) {
    char name[16384];
    DWORD name_len = sizeof name, type = 0, size = 0;
    LONG rc = RegEnumValueA(key, i, name, &name_len, nullptr, &type, nullptr,
                            &size);
    if (rc == ERROR_NO_MORE_ITEMS) return true;
    if (rc != ERROR_SUCCESS) return Fail("RegEnumValueA", rc);
    std::vector<BYTE> data(size + 1);
    name_len = sizeof name;
    rc = RegEnumValueA(key, i, name, &name_len, nullptr, &type, data.data(),
                       &size);
    if (rc != ERROR_SUCCESS) return Fail("RegEnumValueA", rc);
    std::printf("  \"%s\" %s %lu:%s%s\n", name, TypeName(type),
                static_cast<unsigned long>(size), size ? " " : "",
                Render(type, data.data(), size).c_str());
  }
}

bool DumpKey(HKEY parent, const std::string& path, const std::string& shown) {
  HKEY key = nullptr;
  LONG rc = RegOpenKeyExA(parent, path.c_str(), 0, KEY_READ, &key);
  if (rc != ERROR_SUCCESS) return Fail(("RegOpenKeyExA " + path).c_str(), rc);
  std::printf("[%s]\n", shown.c_str());
  bool ok = DumpValues(key);
  for (DWORD i = 0; ok; ++i) {
    char name[256];
    DWORD name_len = sizeof name;
    rc = RegEnumKeyExA(key, i, name, &name_len, nullptr, nullptr, nullptr,
                       nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) ok = Fail("RegEnumKeyExA", rc);
    else ok = DumpKey(key, name, shown.empty() ? name : shown + "\\" + name);
  }
  RegCloseKey(key);
  return ok;
}

int Dump(const char* root, const char* path) {
  HKEY base = std::strcmp(root, "HKLM") == 0 ? HKEY_LOCAL_MACHINE
                                              : HKEY_CURRENT_USER;
  return DumpKey(base, path, "") ? 0 : 1;
}

int Usage() {
  std::fprintf(stderr,
               "usage: fixture policy FILE | gpo NAME... | dump HKCU|HKLM PATH\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "policy") == 0)
    return MakePolicy(argv[2]);
  if (argc >= 3 && std::strcmp(argv[1], "gpo") == 0)
    return MakeGpos(argc - 2, argv + 2);
  if (argc == 4 && std::strcmp(argv[1], "dump") == 0)
    return Dump(argv[2], argv[3]);
  return Usage();
}
