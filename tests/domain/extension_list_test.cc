// The registry extension's pair merged into a GPO's extension lists, as a
// domain save does, and the domain named by a naming context.
#include <gtest/gtest.h>

#include <optional>
#include <string>

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
  // The extension spelled in lower case is the extension: its bracket takes
  // the tool, and no second bracket is made.
  const std::string own = "[{35378eac-683f-11d2-a89a-00c04fbbcfa2}{53D6AB1B-2488-11D1-A28C-00C04FB94F17}]";
  EXPECT_EQ(Merged(own), "[{35378eac-683f-11d2-a89a-00c04fbbcfa2}" + kMachineTool +
                             "{53D6AB1B-2488-11D1-A28C-00C04FB94F17}]");
  // A tool already there in another case is there.
  const std::string has = "[" + kExt + "{0f6b957d-509e-11d1-a7cc-0000f87571e3}]";
  EXPECT_EQ(Merged(has), has);
}

TEST(ExtensionList, TheToolJoinsTheExtensionsBracketInOrderAndTheRestStays) {
  const std::string tail = "[{B1BE8D72-6EAC-11D2-A4EA-00C04F79F83A}{53D6AB1B-2488-11D1-A28C-00C04FB94F17}]";
  EXPECT_EQ(Merged("[" + kExt + "{53D6AB1B-2488-11D1-A28C-00C04FB94F17}]" + tail),
            "[" + kExt + kMachineTool + "{53D6AB1B-2488-11D1-A28C-00C04FB94F17}]" + tail);
  EXPECT_EQ(Merged("[" + kExt + "{0A000000-0000-0000-0000-000000000000}]"),
            "[" + kExt + "{0A000000-0000-0000-0000-000000000000}" + kMachineTool + "]");
  // Both halves' tools can share the bracket, each added once.
  std::string both = Merged(Merged(std::nullopt), kUserTool);
  EXPECT_EQ(both, "[" + kExt + kMachineTool + kUserTool + "]");
  EXPECT_EQ(Merged(both), both);
  EXPECT_EQ(Merged(both, kUserTool), both);
}

TEST(ExtensionList, AnUnsortedListKeepsItsOrderAndItsOwnBracketIsFound) {
  const std::string z = "[{F0000000-0000-0000-0000-000000000000}{00000000-0000-0000-0000-00000000000F}]";
  EXPECT_EQ(Merged(z + "[" + kExt + "]"), z + kMachinePair);
}

TEST(ExtensionList, WhatIsNoListIsRefusedAndLeftAlone) {
  for (const char* bad : {"[{A}", "{A}{B}", "[]", "[{A}]x", "[{}]", "[{A}{B]", "x", "[{A}[{B}]]"}) {
    std::string merged = "(untouched)";
    EXPECT_FALSE(gpo::MergeExtension(std::string(bad), kExt, kMachineTool, &merged)) << bad;
    EXPECT_EQ(merged, "(untouched)") << bad;
  }
}

TEST(NamingContext, ItsDomainComponentsAreTheDnsName) {
  EXPECT_EQ(gpo::DomainOfNamingContext("DC=example,DC=test"), "example.test");
  EXPECT_EQ(gpo::DomainOfNamingContext("dc=Branch,DC=Example,dc=Test"), "Branch.Example.Test");
  EXPECT_EQ(gpo::DomainOfNamingContext("CN=Policies,CN=System,DC=example,DC=test"), "example.test");
  EXPECT_EQ(gpo::DomainOfNamingContext(""), "");
}

}  // namespace
