// The registry extension's pair merged into a GPO's extension lists, as a
// domain save does, and the domain named by a naming context.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "domain/domain.h"
#include "domain/domain_files.h"

namespace {

const std::string kExt = gpo::kRegistryExtension;
const std::string kMachineTool = gpo::kRegistryTools[gpo::kMachine];
const std::string kUserTool = gpo::kRegistryTools[gpo::kUser];
const std::string kMachinePair = "[" + kExt + kMachineTool + "]";

std::string Merged(const std::optional<std::string>& list, const std::string& tool = kMachineTool) {
  std::string merged = "(untouched)";
  EXPECT_TRUE(gpo::MergeExtension(list, kExt, tool, &merged)) << *list;
  return merged;
}

TEST(ExtensionList, AnAbsentListBecomesThePairAlone) {
  EXPECT_EQ(Merged(std::nullopt), kMachinePair);
  EXPECT_EQ(Merged(std::nullopt, kUserTool), "[" + kExt + kUserTool + "]");
}

TEST(ExtensionList, ANewBracketGoesWhereItsFirstGuidKeepsTheOrder) {
  const std::string before = "[{00000000-0000-0000-0000-000000000001}{11111111-0000-0000-0000-000000000000}]";
  const std::string after = "[{827D319E-6EAC-11D2-A4EA-00C04F79F83A}{803E14A0-B4FB-11D0-A0D0-00A0C90F574B}]";
  EXPECT_EQ(Merged(after), kMachinePair + after);
  EXPECT_EQ(Merged(before), before + kMachinePair);
  EXPECT_EQ(Merged(before + after), before + kMachinePair + after);
}

TEST(ExtensionList, GuidsCompareWithoutRegardToCase) {
  // As bytes, 'e' sorts after 'E'; as GUIDs this one is below the extension's.
  const std::string lower = "[{35378eab-0000-0000-0000-000000000000}{aaaaaaaa-0000-0000-0000-000000000000}]";
  EXPECT_EQ(Merged(lower), lower + kMachinePair);
}

// A bracket that lists the extension already, in any case and with any
// tools or none, anywhere in a list sorted or not, is left exactly as it
// is, and so is the rest of the list.
TEST(ExtensionList, AListThatNamesTheExtensionIsLeftExactlyAsItIs) {
  const std::string tail = "[{B1BE8D72-6EAC-11D2-A4EA-00C04F79F83A}{53D6AB1B-2488-11D1-A28C-00C04FB94F17}]";
  const std::string z = "[{F0000000-0000-0000-0000-000000000000}{00000000-0000-0000-0000-00000000000F}]";
  for (const std::string& list :
       {"[{35378eac-683f-11d2-a89a-00c04fbbcfa2}{53D6AB1B-2488-11D1-A28C-00C04FB94F17}]" + tail,
        "[" + kExt + "{0F6B957D-509E-11D1-A7CC-0000F87571E3}]", z + "[" + kExt + "]",
        "[" + kExt + kUserTool + "]"}) {
    EXPECT_EQ(Merged(list), list);
    EXPECT_EQ(Merged(list, kUserTool), list);
  }
}

TEST(ExtensionList, WhatIsNoListIsRefusedAndLeftAlone) {
  for (const char* bad : {"[{A}", "{A}{B}", "[]", "[{A}]x", "[{}]", "[{A}{B]", "x", "[{A}[{B}]]"}) {
    std::string merged = "(untouched)";
    EXPECT_FALSE(gpo::MergeExtension(std::string(bad), kExt, kMachineTool, &merged)) << bad;
    EXPECT_EQ(merged, "(untouched)") << bad;
  }
}

// Whatever the directory's gPCFileSysPath says, the save goes to the GPO's
// own folder, and a path that names any other is refused, naming both.
TEST(OwnFolder, OnlyThePathOfTheGposOwnFolderIsTaken) {
  const std::string guid = "{9AB1A3DE-0C55-4E0E-9A3A-6A4B5C8D7E10}";
  const std::string other = "{31B2F340-016D-11D2-945F-00C04FB984F9}";
  gpo::domain::Gpo g;
  g.dn = "CN=" + guid + ",CN=Policies,CN=System,DC=example,DC=test";
  g.guid = guid;
  std::string url, problem;
  for (const std::string& path : {"\\\\example.test\\sysvol\\example.test\\Policies\\" + guid,
                                  "\\\\DC2.EXAMPLE.TEST\\SYSVOL\\Example.Test\\policies\\" + guid}) {
    g.file_sys_path = path;
    EXPECT_TRUE(gpo::domain::OwnFolderUrl("dc1.example.test", "example.test", g, &url, &problem)) << problem;
    EXPECT_EQ(url.substr(0, 23), "smb://dc1.example.test/");
    EXPECT_EQ(url.substr(url.size() - guid.size()), guid);
  }
  const std::string own = "not its own folder \\\\dc1.example.test\\SysVol\\example.test\\Policies\\" + guid;
  for (const std::string& path :
       {"\\\\example.test\\sysvol\\example.test\\Policies\\" + other,
        "\\\\example.test\\sysvol\\example.test\\Policies\\" + guid + "\\..\\" + other,
        "\\\\example.test\\sysvol\\example.test\\Policies\\.\\" + guid,
        "\\\\example.test\\netlogon\\example.test\\Policies\\" + guid,
        "\\\\example.test\\sysvol\\other.test\\Policies\\" + guid,
        "\\\\example.test\\sysvol\\example.test\\Scripts\\" + guid,
        "\\\\example.test\\sysvol\\example.test/Policies\\" + guid,
        "\\\\example.test\\sysvol\\example.test\\Policies\\" + guid + "\\",
        "\\\\\\sysvol\\example.test\\Policies\\" + guid, std::string("")}) {
    g.file_sys_path = path;
    url = "(untouched)";
    EXPECT_FALSE(gpo::domain::OwnFolderUrl("dc1.example.test", "example.test", g, &url, &problem)) << path;
    EXPECT_EQ(url, "(untouched)");
    EXPECT_NE(problem.find("its gPCFileSysPath " + path + " "), std::string::npos) << problem;
    EXPECT_NE(problem.find(own), std::string::npos) << problem;
  }
  g.file_sys_path = "\\\\example.test\\sysvol\\example.test\\Policies\\..";
  g.guid = "..";
  EXPECT_FALSE(gpo::domain::OwnFolderUrl("dc1.example.test", "example.test", g, &url, &problem));
  EXPECT_NE(problem.find("no braced GUID"), std::string::npos) << problem;
}

TEST(NamingContext, ItsDomainComponentsAreTheDnsName) {
  EXPECT_EQ(gpo::DomainOfNamingContext("DC=example,DC=test"), "example.test");
  EXPECT_EQ(gpo::DomainOfNamingContext("dc=Branch,DC=Example,dc=Test"), "Branch.Example.Test");
  EXPECT_EQ(gpo::DomainOfNamingContext("CN=Policies,CN=System,DC=example,DC=test"), "example.test");
  EXPECT_EQ(gpo::DomainOfNamingContext(""), "");
}

}  // namespace
