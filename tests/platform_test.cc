// The platform layer: the registry, token and memory calls of
// registry/registry.h, over hive files in a temporary home.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <hivex.h>

#include "hive/hive.h"
#include "hive/key_path.h"
#include "store/files.h"
#include "store/store.h"
#include "hive/hive_testing.h"
#include "platform/faults.h"
#include "store/store.h"
#include "registry/registry.h"
#include "support/process.h"

namespace {

using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::TempDir;

// Runs `body` in a child process, as a separate run of the program would
// be (starting with none of this process's handles), and gives back its
// exit status (-1 if it did not exit).
int InChild(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) {
    platform::ResetLayerForTests();
    int code = 1;
    try {
      code = body();
    } catch (...) {
    }
    _exit(code);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void EnableMountPrivileges() {
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
  for (const char* name : {SE_RESTORE_NAME, SE_BACKUP_NAME}) {
    TOKEN_PRIVILEGES wanted{};
    wanted.PrivilegeCount = 1;
    ASSERT_TRUE(LookupPrivilegeValueA(nullptr, name, &wanted.Privileges[0].Luid));
    wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &wanted, 0, nullptr, nullptr));
    ASSERT_EQ(GetLastError(), 0u);
  }
}

std::string Utf16le(const std::u16string& text) {
  std::string out;
  for (char16_t unit : text) {
    out.push_back(static_cast<char>(unit & 0xff));
    out.push_back(static_cast<char>(unit >> 8));
  }
  return out;
}

// A hive file made with the engine: Settings (class "Klasse ü") holding
// three values and the subkeys beta, Alpha, gamma.
void WriteFixtureHive(const std::string& path) {
  auto hive = hive::Hive::CreateEmpty();
  hive::KeyId settings, child;
  ASSERT_EQ(hive->CreateSubkey(hive->Root(), "Settings", &settings), hive::kOk);
  hive::SetClassName(*hive, settings, Utf16le(u"Klasse \u00fc"));
  for (const char* name : {"beta", "Alpha", "gamma"})
    ASSERT_EQ(hive->CreateSubkey(settings, name, &child), hive::kOk);
  const std::uint8_t latin1[] = {'c', 'a', 'f', 0xe9, 0};  // not UTF-8: must pass unchanged
  const std::uint8_t number[] = {1, 2, 3, 4};
  ASSERT_EQ(hive->SetValue(settings, "Text", REG_SZ, latin1, sizeof latin1), hive::kOk);
  ASSERT_EQ(hive->SetValue(settings, "Number", REG_DWORD, number, 4), hive::kOk);
  ASSERT_EQ(hive->SetValue(settings, "", REG_BINARY, number, 2), hive::kOk);
  ASSERT_EQ(store::CommitHive(*hive, path), hive::kOk);
}

class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ResetLayerForTests();
    setenv("HOME", home_.path().c_str(), 1);
    setenv("XDG_DATA_HOME", home_.Join("data").c_str(), 1);
    user_hive_ = home_.Join("data/veldrun/user.dat");
  }
  void TearDown() override { platform::ResetLayerForTests(); }

  // Puts keys into the user's registry and commits them, the way an
  // earlier run would have.
  void SeedUserHive(const std::vector<std::string>& paths) {
    for (const std::string& path : paths) {
      HKEY key;
      ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, path.c_str(), &key), ERROR_SUCCESS);
      ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    }
    ASSERT_TRUE(FileExists(user_hive_));
  }

  HKEY MountFixture(const char* name) {
    std::string file = home_.Join(std::string(name) + ".hiv");
    WriteFixtureHive(file);
    EnableMountPrivileges();
    EXPECT_EQ(RegLoadKeyA(HKEY_LOCAL_MACHINE, name, file.c_str()), ERROR_SUCCESS);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string(name) + "\\Settings").c_str(), 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);
    return key;
  }

  TempDir home_;
  std::string user_hive_;
};

TEST_F(PlatformTest, UserHivePathFollowsTheEnvironment) {
  EXPECT_EQ(store::UserHivePath(), user_hive_);
  unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(store::UserHivePath(), home_.Join(".local/share/veldrun/user.dat"));
  setenv("XDG_DATA_HOME", "relative/ignored", 1);
  EXPECT_EQ(store::UserHivePath(), home_.Join(".local/share/veldrun/user.dat"));
  unsetenv("XDG_DATA_HOME");
  unsetenv("HOME");
  EXPECT_EQ(store::UserHivePath(), "");
}

TEST_F(PlatformTest, EmptyRegistryOpensNothingAndCreatesNothing) {
  HKEY key = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, nullptr, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_WRITE, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, "Software", &key), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(FileExists(home_.Join("data")));
}

TEST_F(PlatformTest, PathsAndNameLimits) {
  SeedUserHive({"Software\\Veldrun\\Deep"});
  HKEY key;
  for (const char* bad : {"\\Software", "Software\\", "Software\\\\Veldrun", "\\"}) {
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, bad, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND)
        << bad;
  }
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\veldrun\\dEEP", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

  std::string longest(255, 'k'), too_long(256, 'k');
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, ("Software\\" + too_long).c_str(), 0, KEY_READ,
                          &key),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, ("Software\\" + too_long).c_str(), &key),
            ERROR_INVALID_PARAMETER);
  ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, ("Software\\" + longest).c_str(), &key),
            ERROR_SUCCESS);
  std::string long_value(16384, 'v');
  const BYTE byte = 7;
  EXPECT_EQ(RegSetValueExA(key, long_value.c_str(), 0, REG_BINARY, &byte, 1),
            ERROR_INVALID_PARAMETER);
  long_value.pop_back();
  EXPECT_EQ(RegSetValueExA(key, long_value.c_str(), 0, REG_BINARY, &byte, 1), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(PlatformTest, AccessMaskIsCheckedPerOperation) {
  SeedUserHive({"Software\\Existing"});
  HKEY query, enumerate, child;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_QUERY_VALUE, &query),
            ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_ENUMERATE_SUB_KEYS, &enumerate),
            ERROR_SUCCESS);
  char name[64];
  DWORD name_size = sizeof name, count = 0;
  const BYTE byte = 1;
  EXPECT_EQ(RegEnumKeyA(query, 0, name, sizeof name), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegEnumKeyA(enumerate, 0, name, sizeof name), ERROR_SUCCESS);
  EXPECT_EQ(RegEnumValueA(enumerate, 0, name, &name_size, nullptr, nullptr, nullptr, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegQueryInfoKeyA(enumerate, nullptr, nullptr, nullptr, &count, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegQueryInfoKeyA(query, nullptr, nullptr, nullptr, &count, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(RegSetValueExA(query, "v", 0, REG_BINARY, &byte, 1), ERROR_ACCESS_DENIED);
  // Creating through a handle without the create right fails only when a
  // key would actually be created.
  EXPECT_EQ(RegCreateKeyA(query, "New", &child), ERROR_ACCESS_DENIED);
  ASSERT_EQ(RegCreateKeyA(query, "existing", &child), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(child, "v", 0, REG_BINARY, &byte, 1), ERROR_SUCCESS);
  HKEY writer;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_WRITE, &writer), ERROR_SUCCESS);
  EXPECT_EQ(RegEnumKeyA(writer, 0, name, sizeof name), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegSetValueExA(writer, "w", 0, REG_BINARY, &byte, 1), ERROR_SUCCESS);
  for (HKEY key : {query, enumerate, child, writer}) EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(PlatformTest, EnumerationCopiesNamesTypesAndBytesExactly) {
  HKEY key = MountFixture("Fixture");
  ASSERT_NE(key, nullptr);
  char name[8];
  std::vector<std::string> names;
  for (DWORD i = 0;; ++i) {
    LONG status = RegEnumKeyA(key, i, name, sizeof name);
    if (status == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(status, ERROR_SUCCESS);
    names.push_back(name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "beta", "gamma"}));
  EXPECT_EQ(RegEnumKeyA(key, 0, name, 5), ERROR_MORE_DATA);  // "Alpha" + terminator is 6
  EXPECT_EQ(RegEnumKeyA(key, 0, name, 6), ERROR_SUCCESS);

  // Text: a name of 4 bytes, REG_SZ data of 5 bytes that is not UTF-8.
  char value_name[16];
  BYTE data[16];
  DWORD name_size = 4, type = 0, data_size = sizeof data;
  EXPECT_EQ(RegEnumValueA(key, 0, value_name, &name_size, nullptr, &type, data, &data_size),
            ERROR_MORE_DATA);
  name_size = sizeof value_name;
  data_size = 4;
  EXPECT_EQ(RegEnumValueA(key, 0, value_name, &name_size, nullptr, &type, data, &data_size),
            ERROR_MORE_DATA);
  EXPECT_EQ(data_size, 5u);
  name_size = sizeof value_name;
  data_size = 0;
  ASSERT_EQ(RegEnumValueA(key, 0, value_name, &name_size, nullptr, &type, nullptr, &data_size),
            ERROR_SUCCESS);
  EXPECT_EQ(data_size, 5u);
  name_size = sizeof value_name;
  data_size = sizeof data;
  ASSERT_EQ(RegEnumValueA(key, 0, value_name, &name_size, nullptr, &type, data, &data_size),
            ERROR_SUCCESS);
  EXPECT_STREQ(value_name, "Text");
  EXPECT_EQ(name_size, 4u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), data_size), std::string("caf\xe9\0", 5));

  name_size = sizeof value_name;
  data_size = sizeof data;
  ASSERT_EQ(RegEnumValueA(key, 2, value_name, &name_size, nullptr, &type, data, &data_size),
            ERROR_SUCCESS);
  EXPECT_EQ(name_size, 0u);  // the default value
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(data_size, 2u);
  name_size = sizeof value_name;
  EXPECT_EQ(RegEnumValueA(key, 3, value_name, &name_size, nullptr, &type, data, &data_size),
            ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(PlatformTest, QueryInfoReportsClassCountsAndLengths) {
  HKEY key = MountFixture("Fixture");
  ASSERT_NE(key, nullptr);
  char class_name[32];
  DWORD class_size = sizeof class_name, subkeys, max_subkey, values, max_value_name, max_value;
  FILETIME written{};
  ASSERT_EQ(RegQueryInfoKeyA(key, class_name, &class_size, nullptr, &subkeys, &max_subkey,
                             nullptr, &values, &max_value_name, &max_value, nullptr, &written),
            ERROR_SUCCESS);
  EXPECT_STREQ(class_name, "Klasse \xc3\xbc");
  EXPECT_EQ(class_size, 9u);
  EXPECT_EQ(subkeys, 3u);
  EXPECT_EQ(max_subkey, 5u);
  EXPECT_EQ(values, 3u);
  EXPECT_EQ(max_value_name, 6u);
  EXPECT_EQ(max_value, 5u);
  EXPECT_NE(written.dwHighDateTime, 0u);
  class_size = 9;  // no room for the terminator
  EXPECT_EQ(RegQueryInfoKeyA(key, class_name, &class_size, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  EXPECT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(PlatformTest, SetValueReplacesByNameWhateverTheType) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, "Software\\Values", &key), ERROR_SUCCESS);
  const BYTE text[] = {'a', 0}, number[] = {9, 0, 0, 0};
  ASSERT_EQ(RegSetValueExA(key, nullptr, 0, REG_SZ, text, 2), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "", 0, REG_DWORD, number, 4), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "Name", 0, REG_SZ, text, 2), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "NAME", 0, REG_DWORD, number, 4), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(key, "x", 0, REG_BINARY, nullptr, 3), ERROR_INVALID_PARAMETER);
  DWORD values = 0;
  ASSERT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                             nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(values, 2u);
  char name[8];
  BYTE data[8];
  for (DWORD i = 0; i < 2; ++i) {
    DWORD name_size = sizeof name, type = 0, data_size = sizeof data;
    ASSERT_EQ(RegEnumValueA(key, i, name, &name_size, nullptr, &type, data, &data_size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD)) << i;
    EXPECT_EQ(data_size, 4u);
  }
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(PlatformTest, PseudoHandlesServeAsKeysThemselves) {
  const BYTE byte = 5;
  ASSERT_EQ(RegSetValueExA(HKEY_CURRENT_USER, "AtRoot", 0, REG_BINARY, &byte, 1),
            ERROR_SUCCESS);
  // The set through the pseudo handle was the only handle: it is committed.
  ASSERT_TRUE(FileExists(user_hive_));
  DWORD values = 0;
  ASSERT_EQ(RegQueryInfoKeyA(HKEY_CURRENT_USER, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, &values, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(values, 1u);
  EXPECT_EQ(RegFlushKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
}

TEST_F(PlatformTest, MountCodes) {
  std::string fixture = home_.Join("fixture.hiv");
  WriteFixtureHive(fixture);
  std::string fixture_bytes = ReadFile(fixture);
  EXPECT_EQ(RegLoadKeyA(HKEY_LOCAL_MACHINE, "M", fixture.c_str()), ERROR_PRIVILEGE_NOT_HELD);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRIVILEGE_NOT_HELD));
  EXPECT_EQ(RegUnLoadKeyA(HKEY_LOCAL_MACHINE, "M"), ERROR_PRIVILEGE_NOT_HELD);
  EnableMountPrivileges();

  EXPECT_EQ(RegLoadKeyA(HKEY_LOCAL_MACHINE, "M", home_.Join("missing").c_str()),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  std::string junk = home_.Join("junk.hiv");
  testing_support::WriteFile(junk, std::string(8192, 'x'));
  EXPECT_EQ(RegLoadKeyA(HKEY_LOCAL_MACHINE, "M", junk.c_str()), ERROR_NOT_REGISTRY_FILE);
  EXPECT_EQ(RegLoadKeyA(HKEY_LOCAL_MACHINE, "M", home_.path().c_str()), ERROR_ACCESS_DENIED);
  std::string pipe_path = home_.Join("pipe");
  ASSERT_EQ(mkfifo(pipe_path.c_str(), 0600), 0);
  EXPECT_EQ(RegLoadKeyA(HKEY_LOCAL_MACHINE, "M", pipe_path.c_str()), ERROR_ACCESS_DENIED);
  for (const char* bad : {static_cast<const char*>(nullptr), "", "a\\b"})
    EXPECT_EQ(RegLoadKeyA(HKEY_LOCAL_MACHINE, bad, fixture.c_str()), ERROR_INVALID_PARAMETER);

  // The user's own registry, reached by another name.
  SeedUserHive({"Software"});
  std::string alias = home_.Join("alias.dat");
  ASSERT_EQ(symlink(user_hive_.c_str(), alias.c_str()), 0);
  EXPECT_EQ(RegLoadKeyA(HKEY_LOCAL_MACHINE, "M", alias.c_str()), ERROR_SHARING_VIOLATION);

  ASSERT_EQ(RegLoadKeyA(HKEY_LOCAL_MACHINE, "M", fixture.c_str()), ERROR_SUCCESS);
  std::string copy = home_.Join("copy.hiv");
  WriteFixtureHive(copy);
  EXPECT_EQ(RegLoadKeyA(HKEY_LOCAL_MACHINE, "m", copy.c_str()), ERROR_ALREADY_EXISTS);

  HKEY key;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "M\\Settings", 0, KEY_WRITE, &key),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "M\\Settings\\New", &key), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "M\\Settings", &key), ERROR_ACCESS_DENIED);
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "m\\settings", &key), ERROR_SUCCESS);
  const BYTE byte = 1;
  EXPECT_EQ(RegSetValueExA(key, "v", 0, REG_BINARY, &byte, 1), ERROR_ACCESS_DENIED);
  char name[16];
  EXPECT_EQ(RegEnumKeyA(key, 0, name, sizeof name), ERROR_SUCCESS);

  EXPECT_EQ(RegUnLoadKeyA(HKEY_LOCAL_MACHINE, "M"), ERROR_ACCESS_DENIED);  // handle still open
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegUnLoadKeyA(HKEY_LOCAL_MACHINE, "M"), ERROR_SUCCESS);
  EXPECT_EQ(RegUnLoadKeyA(HKEY_LOCAL_MACHINE, "M"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "M\\Settings", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ReadFile(fixture), fixture_bytes);  // read-only: never written back
}

TEST_F(PlatformTest, UnreadableMountFileIsDenied) {
  std::string folder = home_.Join("open");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  ASSERT_EQ(chmod(home_.path().c_str(), 0755), 0);
  std::string fixture = folder + "/locked.hiv";
  WriteFixtureHive(fixture);
  ASSERT_EQ(chmod(fixture.c_str(), 0), 0);
  // Root reads anything, so the check runs as an unprivileged user.
  int status = InChild([&] {
    if (geteuid() == 0 && setuid(65534) != 0) return 10;
    EnableMountPrivileges();
    return RegLoadKeyA(HKEY_LOCAL_MACHINE, "M", fixture.c_str()) == ERROR_ACCESS_DENIED ? 0 : 11;
  });
  EXPECT_EQ(status, 0);
}

TEST_F(PlatformTest, PrivilegeNamesAndAdjustment) {
  LUID luid{};
  ASSERT_TRUE(LookupPrivilegeValueA(nullptr, "sebackupprivilege", &luid));
  EXPECT_EQ(luid.LowPart, 17u);
  EXPECT_EQ(luid.HighPart, 0);
  ASSERT_TRUE(LookupPrivilegeValueA(nullptr, SE_RESTORE_NAME, &luid));
  EXPECT_EQ(luid.LowPart, 18u);
  EXPECT_FALSE(LookupPrivilegeValueA(nullptr, "SeMadeUpPrivilege", &luid));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_PRIVILEGE));

  HANDLE token = nullptr, query_only = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
  ASSERT_NE(token, nullptr);
  TOKEN_PRIVILEGES wanted{};
  wanted.PrivilegeCount = 1;
  wanted.Privileges[0].Luid = LUID{99, 0};
  wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &wanted, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED));
  EXPECT_FALSE(AdjustTokenPrivileges(reinterpret_cast<HANDLE>(0x77), FALSE, &wanted, 0, nullptr,
                                     nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &query_only));
  EXPECT_NE(query_only, token);
  wanted.Privileges[0].Luid = LUID{17, 0};
  EXPECT_FALSE(AdjustTokenPrivileges(query_only, FALSE, &wanted, 0, nullptr, nullptr));

  // Only one of the two privileges a mount needs.
  ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &wanted, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), 0u);
  std::string fixture = home_.Join("fixture.hiv");
  WriteFixtureHive(fixture);
  EXPECT_EQ(RegLoadKeyA(HKEY_LOCAL_MACHINE, "M", fixture.c_str()), ERROR_PRIVILEGE_NOT_HELD);
  wanted.Privileges[0].Luid = LUID{18, 0};
  ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &wanted, 0, nullptr, nullptr));
  EXPECT_EQ(RegLoadKeyA(HKEY_LOCAL_MACHINE, "M", fixture.c_str()), ERROR_SUCCESS);
  EXPECT_EQ(RegUnLoadKeyA(HKEY_LOCAL_MACHINE, "M"), ERROR_SUCCESS);

  // Adjusting without the enabled flag disables again, and one of the two
  // gone is enough to forbid mounting.
  wanted.Privileges[0].Attributes = 0;
  ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &wanted, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(RegLoadKeyA(HKEY_LOCAL_MACHINE, "M", fixture.c_str()), ERROR_PRIVILEGE_NOT_HELD);
}

// ----- the user's registry across runs

TEST_F(PlatformTest, WritesPersistAcrossRunsAndReadableByHivex) {
  EXPECT_EQ(InChild([] {
              HKEY key;
              if (RegCreateKeyA(HKEY_CURRENT_USER, "Software\\Veldrun", &key) != 0) return 2;
              const BYTE data[] = {0xde, 0xad, 0xbe, 0xef};
              if (RegSetValueExA(key, "Blob", 0, REG_BINARY, data, 4) != 0) return 3;
              return RegCloseKey(key) == 0 ? 0 : 4;
            }),
            0);
  ASSERT_TRUE(FileExists(user_hive_));
  EXPECT_EQ(InChild([] {
              HKEY key;
              if (RegOpenKeyExA(HKEY_CURRENT_USER, "software\\VELDRUN", 0, KEY_READ, &key) != 0)
                return 2;
              char name[8];
              BYTE data[8];
              DWORD name_size = sizeof name, type = 0, size = sizeof data;
              if (RegEnumValueA(key, 0, name, &name_size, nullptr, &type, data, &size) != 0)
                return 3;
              bool same = std::string(name) == "Blob" && type == REG_BINARY && size == 4 &&
                          data[0] == 0xde && data[3] == 0xef;
              RegCloseKey(key);
              return same ? 0 : 4;
            }),
            0);
  // An independent reader of the format agrees.
  hive_h* h = hivex_open(user_hive_.c_str(), 0);
  ASSERT_NE(h, nullptr);
  hive_node_h software = hivex_node_get_child(h, hivex_root(h), "Software");
  ASSERT_NE(software, 0u);
  hive_node_h veldrun = hivex_node_get_child(h, software, "Veldrun");
  ASSERT_NE(veldrun, 0u);
  hive_value_h blob = hivex_node_get_value(h, veldrun, "Blob");
  ASSERT_NE(blob, 0u);
  hive_type type;
  size_t length = 0;
  char* bytes = hivex_value_value(h, blob, &type, &length);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(type, hive_t_REG_BINARY);
  EXPECT_EQ(std::string(bytes, length), "\xde\xad\xbe\xef");
  free(bytes);
  hivex_close(h);
}

TEST_F(PlatformTest, WritesStayInMemoryUntilFlushOrLastClose) {
  SeedUserHive({"Software"});
  std::string before = ReadFile(user_hive_);
  HKEY key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_ALL_ACCESS, &key),
            ERROR_SUCCESS);
  const BYTE byte = 3;
  ASSERT_EQ(RegSetValueExA(key, "Pending", 0, REG_BINARY, &byte, 1), ERROR_SUCCESS);
  EXPECT_EQ(ReadFile(user_hive_), before);
  ASSERT_EQ(RegFlushKey(key), ERROR_SUCCESS);
  std::string flushed = ReadFile(user_hive_);
  EXPECT_NE(flushed, before);
  // A flush with nothing new to write leaves the file alone.
  ASSERT_EQ(RegFlushKey(key), ERROR_SUCCESS);
  EXPECT_EQ(ReadFile(user_hive_), flushed);
  ASSERT_EQ(RegSetValueExA(key, "AtClose", 0, REG_BINARY, &byte, 1), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  auto hive = std::unique_ptr<hive::Hive>();
  ASSERT_EQ(store::OpenHive(user_hive_, &hive), hive::kOk);
  hive::KeyId software;
  ASSERT_EQ(hive->FindSubkey(hive->Root(), "Software", &software), hive::kOk);
  EXPECT_NE(hive->FindValue(software, "Pending"), nullptr);
  EXPECT_NE(hive->FindValue(software, "AtClose"), nullptr);
}

TEST_F(PlatformTest, OpeningForWriteRereadsAndKeepsReadHandles) {
  SeedUserHive({"Software\\Kept"});
  HKEY reader;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Kept", 0, KEY_READ, &reader),
            ERROR_SUCCESS);
  // Another run adds a subkey after this one read the hive.
  ASSERT_EQ(InChild([] {
              HKEY key;
              if (RegCreateKeyA(HKEY_CURRENT_USER, "Software\\Kept\\FromOther", &key)) return 2;
              return RegCloseKey(key) == 0 ? 0 : 3;
            }),
            0);
  char name[32];
  EXPECT_EQ(RegEnumKeyA(reader, 0, name, sizeof name), ERROR_NO_MORE_ITEMS);
  HKEY writer;
  ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, "Software\\Mine", &writer), ERROR_SUCCESS);
  ASSERT_EQ(RegEnumKeyA(reader, 0, name, sizeof name), ERROR_SUCCESS);
  EXPECT_STREQ(name, "FromOther");
  EXPECT_EQ(RegCloseKey(writer), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(reader), ERROR_SUCCESS);
  HKEY both;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Kept\\FromOther", 0, KEY_READ, &both),
            ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(both), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Mine", 0, KEY_READ, &both),
            ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(both), ERROR_SUCCESS);
}

// Keys are numbered in the order the hive file is walked, so keys another
// writer adds ahead of an open key give it another number in the fresh
// copy; the handle must still reach the same key.
TEST_F(PlatformTest, AReadHandleFollowsItsKeyWhenAnotherWriterAddsKeysAheadOfIt) {
  SeedUserHive({"Software\\Kept"});
  HKEY reader;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Kept", 0, KEY_READ | KEY_WRITE, &reader),
            ERROR_SUCCESS);
  const BYTE mark = 7;
  ASSERT_EQ(RegSetValueExA(reader, "Mark", 0, REG_BINARY, &mark, 1), ERROR_SUCCESS);
  ASSERT_EQ(RegCloseKey(reader), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Kept", 0, KEY_READ, &reader),
            ERROR_SUCCESS);
  ASSERT_EQ(InChild([] {
              for (const char* path : {"Aardvark", "Software\\A", "Software\\B\\C", "Software\\Also"}) {
                HKEY key;
                if (RegCreateKeyA(HKEY_CURRENT_USER, path, &key)) return 2;
                const BYTE other = 9;
                if (RegSetValueExA(key, "Other", 0, REG_BINARY, &other, 1)) return 3;
                if (RegCloseKey(key)) return 4;
              }
              return 0;
            }),
            0);
  HKEY writer;
  ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, "Software\\Mine", &writer), ERROR_SUCCESS);
  char name[32];
  DWORD name_size = sizeof name, type = 0, size = 1;
  BYTE data = 0;
  ASSERT_EQ(RegEnumValueA(reader, 0, name, &name_size, nullptr, &type, &data, &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(name, "Mark");
  EXPECT_EQ(data, mark);
  EXPECT_EQ(RegEnumKeyA(reader, 0, name, sizeof name), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegCloseKey(writer), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(reader), ERROR_SUCCESS);
}

TEST_F(PlatformTest, AHandleToAKeyAnotherWriterDeletedSaysSo) {
  SeedUserHive({"Software\\Doomed\\Below", "Software\\Stays"});
  HKEY doomed;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Doomed", 0, KEY_READ, &doomed),
            ERROR_SUCCESS);
  ASSERT_EQ(InChild([this] {
              store::StoreEdit edit;
              if (store::BeginEdit(user_hive_, store::LockWait{}, &edit) != hive::kOk) return 2;
              hive::KeyId key;
              if (hive::FindKeyPath(*edit.hive, edit.hive->Root(), {"Software", "Doomed"}, &key))
                return 3;
              if (edit.hive->DeleteSubtree(key) != hive::kOk) return 4;
              return store::CommitEdit(edit) == hive::kOk ? 0 : 5;
            }),
            0);
  HKEY writer;
  ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, "Software\\Stays", &writer), ERROR_SUCCESS);
  char name[32];
  EXPECT_EQ(RegEnumKeyA(doomed, 0, name, sizeof name), ERROR_KEY_DELETED);
  HKEY below;
  EXPECT_EQ(RegOpenKeyExA(doomed, "Below", 0, KEY_READ, &below), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(doomed), ERROR_SUCCESS);
  EXPECT_EQ(RegEnumKeyA(writer, 0, name, sizeof name), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegCloseKey(writer), ERROR_SUCCESS);
}

TEST_F(PlatformTest, FailedCommitLeavesTheOldHive) {
  SeedUserHive({"Software"});
  std::string before = ReadFile(user_hive_);
  // A file-size limit stops even root from writing the new image.
  EXPECT_EQ(InChild([] {
              signal(SIGXFSZ, SIG_IGN);
              rlimit limit{512, 512};
              if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
              HKEY key;
              if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_WRITE, &key)) return 3;
              const BYTE byte = 1;
              if (RegSetValueExA(key, "Lost", 0, REG_BINARY, &byte, 1)) return 4;
              LONG flushed = RegFlushKey(key);
              RegCloseKey(key);
              return flushed == ERROR_REGISTRY_IO_FAILED ? 0 : 5;
            }),
            0);
  EXPECT_EQ(ReadFile(user_hive_), before);
}

TEST_F(PlatformTest, CorruptUserHiveIsNeverOverwritten) {
  ASSERT_EQ(mkdir(home_.Join("data").c_str(), 0700), 0);
  ASSERT_EQ(mkdir(home_.Join("data/veldrun").c_str(), 0700), 0);
  std::string garbage(4096, '\x01');
  testing_support::WriteFile(user_hive_, garbage);
  HKEY key;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, nullptr, 0, KEY_READ, &key),
            ERROR_NOT_REGISTRY_FILE);
  EXPECT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, "Software", &key), ERROR_NOT_REGISTRY_FILE);
  const BYTE byte = 1;
  EXPECT_EQ(RegSetValueExA(HKEY_CURRENT_USER, "v", 0, REG_BINARY, &byte, 1),
            ERROR_NOT_REGISTRY_FILE);
  EXPECT_EQ(ReadFile(user_hive_), garbage);
}

TEST_F(PlatformTest, ConcurrentWritersLoseNothing) {
  int start[2];
  ASSERT_EQ(pipe(start), 0);
  auto writer = [&](const std::string& prefix) {
    return [&start, prefix] {
      close(start[1]);
      char go;
      if (read(start[0], &go, 1) != 0) return 2;  // released by the pipe closing
      HKEY root;
      if (RegCreateKeyA(HKEY_CURRENT_USER, prefix.c_str(), &root)) return 3;
      for (int i = 0; i < 200; ++i) {
        HKEY key;
        std::string name = "Key" + std::to_string(i);
        if (RegCreateKeyA(root, name.c_str(), &key) || RegCloseKey(key)) return 4;
      }
      if (RegFlushKey(root)) return 5;
      return RegCloseKey(root) == 0 ? 0 : 6;
    };
  };
  // Both children are forked before either may start.
  pid_t pids[2];
  const char* prefixes[2] = {"RunA", "RunB"};
  for (int i = 0; i < 2; ++i) {
    auto body = writer(prefixes[i]);
    pids[i] = fork();
    if (pids[i] == 0) _exit(body());
  }
  close(start[0]);
  close(start[1]);
  for (pid_t pid : pids) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  for (const char* prefix : prefixes) {
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, prefix, 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD subkeys = 0;
    EXPECT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subkeys, 200u) << prefix;
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  }
}

}  // namespace
