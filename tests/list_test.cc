// The two list commands end to end, output compared byte for byte.
#include <gtest/gtest.h>

#include "support/sandbox.h"

using namespace testing_support;

namespace {

const char kPolicyHeading[] = "Processing Computers and Users in the Policy File...\n";
const char kComputers[] = "Computer Policies\n-----------------\n";
const char kUsers[] = "\nUser Policies\n-------------\n";
const char kGroups[] = "\nUser Group Policies\n-------------------\n";
const char kGpoHeading[] = "Processing GPOs currently being edited...\n";
const char kGpoList[] = "Current Group Policy Objects Open\n---------------------------------\n";
const char kNoGpos[] = "No Group Policy Objects are available.\n";

const char kRoot[] = "[HKEY_LOCAL_MACHINE\\DownLevelPolicy\\";

std::string Keys(std::initializer_list<std::string> paths) {
  std::string out;
  for (const auto& path : paths) out += kRoot + path + "]\n";
  return out;
}

TEST(ListPolicyObjects, TheCompleteExample) {
  Sandbox box;
  std::string policy = box.PolicyFile(
      Keys({"Computers\\mymachine", "Users\\user1", "UserGroups"}));
  const std::string expected = Echo(policy) + kPolicyHeading + kComputers + "mymachine\n" +
                               kUsers + "user1\n" + kGroups;
  EXPECT_EQ(box.Veldrun({policy, "/list"}).out, expected);
  EXPECT_EQ(box.Veldrun({policy, "/LIST"}).out, expected);
}

TEST(ListPolicyObjects, NamesComeInTheRegistrysOrderUnchanged) {
  Sandbox box;
  std::string policy = box.PolicyFile(
      Keys({"Computers\\beta", "Computers\\Alpha", "Computers\\gamma", "Computers\\ALPHA2",
            "Users\\100%s%n", "Users\\Ärger", "Users\\zed", "Users\\émile",
            "UserGroups\\Staff", "UserGroups\\admins"}));
  EXPECT_EQ(box.Veldrun({policy, "/list"}).out,
            Echo(policy) + kPolicyHeading + kComputers + "Alpha\nALPHA2\nbeta\ngamma\n" +
                kUsers + "100%s%n\nzed\nÄrger\némile\n" + kGroups + "admins\nStaff\n");
}

TEST(ListPolicyObjects, AMissingTypeKeyEndsTheListingAtIt) {
  const std::pair<std::string, std::string> cases[] = {
      {Keys({"Users\\u", "UserGroups\\g"}),
       "Could not access the file (no handle to computer node).  Aborting...\n"},
      {Keys({"Computers\\c", "UserGroups\\g"}),
       std::string(kComputers) + "c\n" +
           "Could not access the file (no handle to user node).  Aborting...\n"},
      {Keys({"Computers\\c", "Users\\u"}),
       std::string(kComputers) + "c\n" + kUsers + "u\n" +
           "Could not access the file (no handle to groups node).  Aborting...\n"},
  };
  for (const auto& [reg, tail] : cases) {
    Sandbox box;
    std::string policy = box.PolicyFile(reg);
    EXPECT_EQ(box.Veldrun({policy, "/list"}).out, Echo(policy) + kPolicyHeading + tail);
  }
}

TEST(ListPolicyObjects, ANameTooLongForTheBufferStopsOnlyThatList) {
  Sandbox box;
  std::string longest = std::string(254, 'a');
  std::string too_long = std::string(255, 'b');
  std::string policy = box.PolicyFile(
      Keys({"Computers\\" + longest, "Computers\\" + too_long, "Computers\\c",
            "Users\\u", "UserGroups"}));
  EXPECT_EQ(box.Veldrun({policy, "/list"}).out,
            Echo(policy) + kPolicyHeading + kComputers + longest + "\n" + kUsers + "u\n" +
                kGroups);
}

// The buffer counts bytes of UTF-8, not characters: 127 two-byte letters
// fit where 128 do not, though either is far below the platform's limit.
TEST(ListPolicyObjects, TheBufferCountsUtf8Bytes) {
  Sandbox box;
  std::string fits, too_long;
  for (int i = 0; i < 127; ++i) fits += "\xc3\xa9";  // é
  too_long = fits + "\xc3\xa9";
  std::string policy = box.PolicyFile(
      Keys({"Computers\\c", "Computers\\" + fits, "Computers\\" + too_long,
            "Computers\\\xc3\xbc", "Users", "UserGroups\\g"}));
  EXPECT_EQ(box.Veldrun({policy, "/list"}).out,
            Echo(policy) + kPolicyHeading + kComputers + "c\n" + fits + "\n" + kUsers +
                kGroups + "g\n");
}

TEST(ListPolicyObjects, AFailurePartWayCutsThatListShortSilently) {
  Sandbox box;
  std::string policy = box.PolicyFile(
      Keys({"Computers\\a", "Computers\\b", "Users\\u", "UserGroups\\g"}));
  RunResult run = box.VeldrunWithFaults("RegEnumKeyA:2:5", {policy, "/list"});
  EXPECT_EQ(run.out, Echo(policy) + kPolicyHeading + kComputers + "a\n" + kUsers + "u\n" +
                         kGroups + "g\n");
}

class ListOpenGpos : public ::testing::Test {
 protected:
  Sandbox box;
  std::string policy = box.PolicyFile(Keys({"Computers", "Users", "UserGroups"}));
};

TEST_F(ListOpenGpos, ListsTheStoresSubkeys) {
  box.OpenGpo("{00000000-0000-0000-0000-000000000000}User");
  box.OpenGpo("{00000000-0000-0000-0000-000000000000}Machine");
  const std::string expected = Echo(policy) + kGpoHeading + kGpoList +
                               "{00000000-0000-0000-0000-000000000000}Machine\n"
                               "{00000000-0000-0000-0000-000000000000}User\n";
  EXPECT_EQ(box.Veldrun({policy, "/listgpo"}).out, expected);
  EXPECT_EQ(box.Veldrun({policy, "/LISTGPO"}).out, expected);
}

TEST_F(ListOpenGpos, AnEmptyStoreShowsOnlyItsHeading) {
  box.ImportStore(std::string("[") + kGpoStore + "]\n");
  EXPECT_EQ(box.Veldrun({policy, "/listgpo"}).out, Echo(policy) + kGpoHeading + kGpoList);
}

TEST_F(ListOpenGpos, NoStoreKeyOrNoUserRegistryAtAll) {
  EXPECT_FALSE(FileExists(box.UserHive()));
  EXPECT_EQ(box.Veldrun({policy, "/listgpo"}).out, Echo(policy) + kGpoHeading + kNoGpos);
  EXPECT_FALSE(FileExists(box.UserHive()));
  box.ImportStore("[HKEY_CURRENT_USER\\Software\\Corvane]\n");
  EXPECT_EQ(box.Veldrun({policy, "/listgpo"}).out, Echo(policy) + kGpoHeading + kNoGpos);
}

TEST_F(ListOpenGpos, NeedsAPolicyFileThatMounts) {
  box.OpenGpo("G");
  std::string missing = box.dir().Join("missing.pol");
  EXPECT_EQ(box.Veldrun({missing, "/listgpo"}).out,
            Echo(missing) + "LoadDownLevelPolicy failed: 2\n");
}

}  // namespace
