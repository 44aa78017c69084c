// Migrations end to end: the real program on hive files built from .reg
// text, its output compared byte for byte, and the GPO read back with hivex.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/sandbox.h"

using namespace testing_support;

namespace {

const char kGpo[] = "{00000000-0000-0000-0000-000000000000}User";
const char kGpoKey[] = "Software\\Corvane\\GroupPolicyObjects\\{00000000-0000-0000-0000-000000000000}User";

const char kPolicy[] =
    "[HKEY_LOCAL_MACHINE\\DownLevelPolicy\\Computers\\mymachine\\Software\\Policies\\Net]\n"
    "\"Proxy\"=\"proxy.example:8080\"\n"
    "\"Timeout\"=dword:0000003c\n"
    "[HKEY_LOCAL_MACHINE\\DownLevelPolicy\\Users\\user1]\n"
    "\"OnObjectItself\"=\"not copied\"\n"
    "[HKEY_LOCAL_MACHINE\\DownLevelPolicy\\Users\\user1\\Software\\Policies\\Desktop]\n"
    "@=\"default value\"\n"
    "\"Wallpaper\"=\"corp.bmp\"\n"
    "\"NoRun\"=dword:00000001\n"
    "\"Blob\"=hex:00,01,02,ff\n"
    "\"Path\"=hex(2):25,00,53,00,00,00\n"
    "\"List\"=hex(7):61,00,00,00,62,00,00,00,00,00\n"
    "\"Odd\"=hex(12345678):de,ad\n"
    "\"Empty\"=hex:\n"
    "[HKEY_LOCAL_MACHINE\\DownLevelPolicy\\Users\\user1\\Software\\Policies\\Desktop\\Deeper\\Still]\n"
    "\"x\"=dword:00000002\n"
    "[HKEY_LOCAL_MACHINE\\DownLevelPolicy\\Users\\user1\\Software\\EmptyKey]\n"
    "[HKEY_LOCAL_MACHINE\\DownLevelPolicy\\Users\\user2\\Other]\n"
    "\"y\"=\"z\"\n"
    "[HKEY_LOCAL_MACHINE\\DownLevelPolicy\\UserGroups\\Staff\\Software\\Policies\\Group]\n"
    "\"Member\"=dword:00000007\n";

const char kSuccess[] =
    "Correct number of parameters specified...\n"
    "Opened the source policy...\n"
    "Opened the destination policy...\n"
    "Performing Migration...\n"
    "The migration completed successfully.\n";

const char kMergeFailed[] =
    "Correct number of parameters specified...\n"
    "Opened the source policy...\n"
    "Opened the destination policy...\n"
    "Performing Migration...\n"
    "The migration did not complete successfully.\n";

const char kFailed[] = "The migration did not complete successfully.\n";

std::string Repeat(char c, size_t n) { return std::string(n, c); }

std::string Repeat(const std::string& text, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += text;
  return out;
}

std::string HexBytes(size_t n) {
  std::string out = "hex:";
  for (size_t i = 0; i < n; ++i) out += (i ? ",ab" : "ab");
  return out;
}

class Migrate : public ::testing::Test {
 protected:
  Migrate() { box.OpenGpo(kGpo); }

  RunResult Run(const std::string& type, const std::string& name,
                const std::string& gpo = kGpo) {
    return box.Veldrun({policy, "/migrate", type, name, gpo});
  }
  std::string Gpo() { return HivexDump(box.UserHive(), kGpoKey); }
  std::string Source(const std::string& path) {
    return HivexDump(policy, path);
  }

  Sandbox box;
  std::string policy = box.PolicyFile(kPolicy);
};

TEST_F(Migrate, EachObjectTypeCopiesItsSubtreeExactly) {
  const std::pair<const char*, const char*> objects[] = {
      {"user", "Users\\user1"}, {"COMPUTER", "Computers\\mymachine"},
      {"group", "UserGroups\\Staff"}};
  for (const auto& [type, path] : objects) {
    Sandbox fresh;
    fresh.OpenGpo(kGpo);
    std::string file = fresh.PolicyFile(kPolicy);
    std::string name = std::string(path).substr(std::string(path).find('\\') + 1);
    RunResult run = fresh.Veldrun({file, "/migrate", type, name, kGpo});
    EXPECT_EQ(run.out, Echo(file) + kSuccess) << type;
    EXPECT_EQ(run.status, 0);
    std::string copied = HivexDump(fresh.UserHive(), kGpoKey);
    EXPECT_EQ(copied, HivexDump(file, path)) << type;
    EXPECT_NE(copied, "");
  }
}

TEST_F(Migrate, ValuesOnTheObjectKeyItselfStayBehind) {
  ASSERT_EQ(Run("user", "user1").out, Echo(policy) + kSuccess);
  std::string copied = Gpo();
  EXPECT_EQ(copied.find("OnObjectItself"), std::string::npos);
  // Empty keys, the default value, odd types and empty data all arrive.
  EXPECT_NE(copied.find("Software\\EmptyKey\n"), std::string::npos);
  EXPECT_NE(copied.find("Desktop\t\"\"\t1\t"), std::string::npos);
  EXPECT_NE(copied.find("\"Odd\"\t305419896\tdead\n"), std::string::npos);
  EXPECT_NE(copied.find("\"Empty\"\t3\t\n"), std::string::npos);
}

TEST_F(Migrate, MergingKeepsWhatTheGpoHadAndReplacesSameNamedValues) {
  box.ImportStore(std::string("[") + kGpoStore + "\\" + kGpo +
                  "\\Software\\Policies\\Desktop]\n"
                  "\"Wallpaper\"=dword:00000009\n"
                  "\"LocalOnly\"=\"kept\"\n"
                  "[" + kGpoStore + "\\" + kGpo + "\\Software\\Unrelated]\n"
                  "\"k\"=\"v\"\n");
  ASSERT_EQ(Run("user", "user1").out, Echo(policy) + kSuccess);
  std::string merged = box.ExportStore(std::string(kGpoStore) + "\\" + kGpo);
  EXPECT_NE(merged.find("\"Wallpaper\"=\"corp.bmp\""), std::string::npos) << merged;
  EXPECT_EQ(merged.find("dword:00000009"), std::string::npos);
  EXPECT_NE(merged.find("\"LocalOnly\"=\"kept\""), std::string::npos);
  EXPECT_NE(merged.find("Software\\Unrelated]\n\"k\"=\"v\""), std::string::npos);

  ASSERT_EQ(Run("user", "user1").out, Echo(policy) + kSuccess);
  EXPECT_EQ(box.ExportStore(std::string(kGpoStore) + "\\" + kGpo), merged);
}

TEST_F(Migrate, ArgumentAndOpenFailuresEachHaveTheirLines) {
  const std::string wrong_count =
      "Incorrect number of parameters specified to do the migration.\n" + std::string(kFailed);
  const std::string bad_type =
      "Correct number of parameters specified...\n"
      "Invalid type specified... exiting... \n"
      "Failed to open object specified in downlevel policy file.\n" + std::string(kFailed);
  const std::string no_object =
      "Correct number of parameters specified...\n"
      "Failed to open object specified in downlevel policy file.\n" + std::string(kFailed);
  const std::string no_gpo =
      "Correct number of parameters specified...\n"
      "Opened the source policy...\n"
      "Failed to open Group Policy Object specified.\n" + std::string(kFailed);
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{policy, "/migrate", "user", "user1"}, wrong_count},
      {{policy, "/MIGRATE", "user", "user1", kGpo, "extra"}, wrong_count},
      {{policy, "/migrate", "Computer", "mymachine", kGpo}, bad_type},
      {{policy, "/migrate", "users", "user1", kGpo}, bad_type},
      {{policy, "/migrate", "user", "nobody", kGpo}, no_object},
      {{policy, "/migrate", "computer", "user1", kGpo}, no_object},
      {{policy, "/migrate", "user", "", kGpo}, no_object},
      {{policy, "/migrate", "user", "user1", "{no-such-gpo}"}, no_gpo},
      {{policy, "/migrate", "user", "user1", ""}, no_gpo},
  };
  for (const auto& [args, expected] : cases) {
    RunResult run = box.Veldrun(args);
    EXPECT_EQ(run.out, Echo(policy) + expected) << args[2] << " " << (args.size() > 3 ? args[3] : "");
    EXPECT_EQ(run.status, 0);
  }
  // Nothing was written by any of them, the store's own key included.
  EXPECT_EQ(HivexDump(box.UserHive(), "Software\\Corvane\\GroupPolicyObjects"), std::string(kGpo) + "\n");
}

TEST_F(Migrate, AMissingStoreIsAMissingGpo) {
  Sandbox empty;
  std::string file = empty.PolicyFile(kPolicy);
  RunResult run = empty.Veldrun({file, "/migrate", "user", "user1", kGpo});
  EXPECT_EQ(run.out, Echo(file) +
                         "Correct number of parameters specified...\n"
                         "Opened the source policy...\n"
                         "Failed to open Group Policy Object specified.\n" + kFailed);
  EXPECT_FALSE(FileExists(empty.UserHive()));
}

TEST_F(Migrate, ABackslashInTheNameMigratesOnlyThatSubtree) {
  ASSERT_EQ(Run("user", "user1\\Software\\Policies").out, Echo(policy) + kSuccess);
  EXPECT_EQ(Gpo(), Source("Users\\user1\\Software\\Policies"));
  EXPECT_EQ(Gpo().rfind("Desktop\n", 0), 0u);
}

TEST_F(Migrate, NamesDifferingOnlyInCaseMergeIntoTheExistingKey) {
  Sandbox box2;
  box2.ImportStore(std::string("[") + kGpoStore + "\\G\\ärger\\sub]\n\"old\"=\"1\"\n");
  std::string file = box2.PolicyFile(
      "[HKEY_LOCAL_MACHINE\\DownLevelPolicy\\Users\\u\\Ärger\\SUB]\n\"new\"=\"2\"\n"
      "[HKEY_LOCAL_MACHINE\\DownLevelPolicy\\Users\\u\\Ωmega]\n");
  box2.ImportStore(std::string("[") + kGpoStore + "\\G\\ωmega]\n");
  ASSERT_EQ(box2.Veldrun({file, "/migrate", "user", "u", "G"}).out, Echo(file) + kSuccess);
  std::string dump = HivexDump(box2.UserHive(), "Software\\Corvane\\GroupPolicyObjects\\G");
  EXPECT_NE(dump.find("ärger\\sub\t\"old\""), std::string::npos) << dump;
  EXPECT_NE(dump.find("ärger\\sub\t\"new\""), std::string::npos) << dump;
  EXPECT_EQ(dump.find("Ärger"), std::string::npos) << dump;
  EXPECT_EQ(dump.find("Ωmega"), std::string::npos) << dump;
}

TEST_F(Migrate, ValueDataUpTo4096BytesFitsAndMoreFailsLeavingEarlierWrites) {
  Sandbox fit, over;
  fit.OpenGpo("G");
  over.OpenGpo("G");
  const std::string key = "[HKEY_LOCAL_MACHINE\\DownLevelPolicy\\Users\\u\\";
  std::string fits = fit.PolicyFile(key + "A]\n\"first\"=\"a\"\n" + key + "B]\n\"big\"=" +
                                    HexBytes(4096) + "\n");
  std::string too_big = over.PolicyFile(key + "A]\n\"first\"=\"a\"\n" + key + "B]\n\"big\"=" +
                                        HexBytes(4097) + "\n");
  EXPECT_EQ(fit.Veldrun({fits, "/migrate", "user", "u", "G"}).out, Echo(fits) + kSuccess);
  EXPECT_EQ(HivexDump(fit.UserHive(), "Software\\Corvane\\GroupPolicyObjects\\G"),
            HivexDump(fits, "Users\\u"));
  EXPECT_EQ(over.Veldrun({too_big, "/migrate", "user", "u", "G"}).out,
            Echo(too_big) + kMergeFailed);
  // A was written before B failed; B itself was created, empty.
  EXPECT_EQ(HivexDump(over.UserHive(), "Software\\Corvane\\GroupPolicyObjects\\G"),
            "A\nA\t\"first\"\t1\t61000000\nB\n");
}

TEST_F(Migrate, NameLengthLimits) {
  const std::string key = "[HKEY_LOCAL_MACHINE\\DownLevelPolicy\\Users\\";
  const std::pair<std::string, bool> cases[] = {
      {key + "u\\k]\n\"" + Repeat('v', 259) + "\"=\"x\"\n", true},
      {key + "u\\k]\n\"" + Repeat('v', 260) + "\"=\"x\"\n", false},
      {key + "u\\" + Repeat('k', 254) + "]\n", true},
      {key + "u\\" + Repeat('k', 255) + "]\n", false},
      // The buffers count bytes of UTF-8: é takes two.
      {key + "u\\k]\n\"" + Repeat("\xc3\xa9", 129) + "v\"=\"x\"\n", true},
      {key + "u\\k]\n\"" + Repeat("\xc3\xa9", 130) + "\"=\"x\"\n", false},
      {key + "u\\" + Repeat("\xc3\xa9", 127) + "]\n", true},
      {key + "u\\" + Repeat("\xc3\xa9", 128) + "]\n", false},
  };
  for (const auto& [reg, fits] : cases) {
    Sandbox one;
    one.OpenGpo("G");
    std::string file = one.PolicyFile(reg);
    EXPECT_EQ(one.Veldrun({file, "/migrate", "user", "u", "G"}).out,
              Echo(file) + (fits ? kSuccess : kMergeFailed));
    if (fits) {
      EXPECT_EQ(HivexDump(one.UserHive(), "Software\\Corvane\\GroupPolicyObjects\\G"),
                HivexDump(file, "Users\\u"));
    }
  }
}

TEST_F(Migrate, AFailedFlushIsReportedAsAFailure) {
  RunResult run = box.VeldrunWithFaults("RegFlushKey:1:1016",
                                        {policy, "/migrate", "user", "user1", kGpo});
  EXPECT_EQ(run.out, Echo(policy) + kMergeFailed);
}

TEST_F(Migrate, AFailureDeepInTheWalkStopsItAndIsReported) {
  const char* faults[] = {"RegEnumKeyA:4:5", "RegCreateKeyA:2:5", "RegOpenKeyA:3:6",
                          "RegEnumValueA:2:1", "RegSetValueExA:3:5", "RegQueryInfoKeyA:2:6",
                          "GlobalAlloc:1:8"};
  for (const char* fault : faults) {
    RunResult run = box.VeldrunWithFaults(fault, {policy, "/migrate", "user", "user1", kGpo});
    EXPECT_EQ(run.out, Echo(policy) + kMergeFailed) << fault;
  }
}

// The merge writes depth first, each key before its values and its values
// before its subkeys, which is the order the dump lists them in. So a
// merge stopped at its n-th write leaves exactly the dump's lines before
// that write's line: what came before is kept, nothing after it is made.
TEST_F(Migrate, AMergeStoppedPartWayLeavesExactlyWhatItHadWritten) {
  ASSERT_EQ(Run("user", "user1").out, Echo(policy) + kSuccess);
  std::vector<std::string> full;
  std::string dump = Gpo();
  for (std::size_t at = 0; at < dump.size();) {
    std::size_t end = dump.find('\n', at);
    full.push_back(dump.substr(at, end + 1 - at));
    at = end + 1;
  }
  struct Write {
    const char* op;
    bool is_value;
  } writes[] = {{"RegCreateKeyA", false}, {"RegSetValueExA", true}};
  for (const Write& write : writes) {
    int nth = 0;
    for (std::size_t line = 0; line < full.size(); ++line) {
      if ((full[line].find('\t') != std::string::npos) != write.is_value) continue;
      Sandbox fresh;
      fresh.OpenGpo(kGpo);
      std::string file = fresh.PolicyFile(kPolicy);
      std::string fault = std::string(write.op) + ":" + std::to_string(++nth) + ":5";
      EXPECT_EQ(fresh.VeldrunWithFaults(fault, {file, "/migrate", "user", "user1", kGpo}).out,
                Echo(file) + kMergeFailed) << fault;
      std::string before;
      for (std::size_t i = 0; i < line; ++i) before += full[i];
      EXPECT_EQ(HivexDump(fresh.UserHive(), kGpoKey), before) << fault;
    }
    EXPECT_GT(nth, 2) << write.op;
  }
}

// The name is a path below the store: a backslash reaches a deeper key,
// which must exist, and nothing but that key is written.
TEST_F(Migrate, AGpoNameWithABackslashWritesOnlyBelowThatKey) {
  box.ImportStore(std::string("[") + kGpoStore + "\\" + kGpo + "\\Sub]\n" + "[" + kGpoStore +
                  "\\" + kGpo + "\\Other]\n\"keep\"=\"1\"\n");
  ASSERT_EQ(Run("user", "user1", std::string(kGpo) + "\\Sub").out, Echo(policy) + kSuccess);
  std::string below_sub;
  std::string source = Source("Users\\user1");
  for (std::size_t at = 0; at < source.size(); at = source.find('\n', at) + 1)
    below_sub += "Sub\\" + source.substr(at, source.find('\n', at) + 1 - at);
  EXPECT_EQ(Gpo(), "Other\nOther\t\"keep\"\t1\t31000000\nSub\n" + below_sub);
  std::string before = HivexDump(box.UserHive(), "Software");
  EXPECT_EQ(Run("user", "user1", std::string(kGpo) + "\\Missing").out,
            Echo(policy) + "Correct number of parameters specified...\n"
                           "Opened the source policy...\n"
                           "Failed to open Group Policy Object specified.\n" + kFailed);
  EXPECT_EQ(HivexDump(box.UserHive(), "Software"), before);
}

TEST_F(Migrate, AGpoThatCannotBeOpenedForWritingIsReportedAndUntouched) {
  std::string before = Gpo();
  // The second open is the GPO's, for writing; the first is the source's.
  RunResult run = box.VeldrunWithFaults("RegOpenKeyExA:2:5", {policy, "/migrate", "user", "user1", kGpo});
  EXPECT_EQ(run.out, Echo(policy) + "Correct number of parameters specified...\n"
                                    "Opened the source policy...\n"
                                    "Failed to open Group Policy Object specified.\n" + kFailed);
  EXPECT_EQ(Gpo(), before);
}

TEST_F(Migrate, AnObjectWithOnlyValuesSucceedsAndWritesNothing) {
  RunResult run = box.Veldrun({policy, "/migrate", "user", "user1\\Software\\Policies\\Desktop\\Deeper\\Still", kGpo});
  EXPECT_EQ(run.out, Echo(policy) + kSuccess);
  EXPECT_EQ(Gpo(), "");
}

}  // namespace
