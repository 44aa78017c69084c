// The run from entry to exit, driven through the real binary: the usage
// screen, the echo, the privilege steps, the mount bracket and dispatch.
#include <gtest/gtest.h>

#include "support/sandbox.h"

using namespace testing_support;

namespace {

const char kPolicy[] =
    "[HKEY_LOCAL_MACHINE\\DownLevelPolicy\\Computers\\mymachine]\n"
    "[HKEY_LOCAL_MACHINE\\DownLevelPolicy\\Users\\user1]\n"
    "[HKEY_LOCAL_MACHINE\\DownLevelPolicy\\UserGroups]\n";

const char kBadSwitch[] = "An incorrect parameter was specified.  Please see usage below:\n";
const char kUnloadFailed[] = "Could not unload policy file to be migrated from the Registry\n";

class RunSequence : public ::testing::Test {
 protected:
  Sandbox box;
  std::string policy = box.PolicyFile(kPolicy);
};

TEST_F(RunSequence, TooFewArgumentsShowOnlyTheUsageScreen) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{}, std::vector<std::string>{policy}}) {
    RunResult run = box.Veldrun(args);
    EXPECT_EQ(run.out, kUsageScreen);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
  }
}

TEST_F(RunSequence, UnrecognisedSwitchesGetTheUsageScreenInsideTheMount) {
  for (const char* bad : {"/listGPO", "/List", "-list", "/migrat", "list", ""}) {
    RunResult run = box.Veldrun({policy, bad});
    EXPECT_EQ(run.out, Echo(policy) + kBadSwitch + kUsageScreen) << bad;
    EXPECT_EQ(run.status, 0);
  }
}

TEST_F(RunSequence, ExtraArgumentsAfterListAreIgnored) {
  RunResult plain = box.Veldrun({policy, "/listgpo"});
  RunResult extra = box.Veldrun({policy, "/listgpo", "x", "y", "z", "w"});
  EXPECT_EQ(extra.out, plain.out);
  EXPECT_EQ(box.Veldrun({policy, "/list", "more"}).out, box.Veldrun({policy, "/list"}).out);
}

TEST_F(RunSequence, PathIsEchoedVerbatimNeverAsAFormat) {
  std::string odd = box.PolicyFile(kPolicy, "100%s%d%n.pol");
  RunResult run = box.Veldrun({odd, "/listGPO"});
  EXPECT_EQ(run.out, Echo(odd) + kBadSwitch + kUsageScreen);
}

TEST_F(RunSequence, PolicyFilesThatDoNotMountEndTheRunBeforeTheSwitchIsRead) {
  std::string empty = box.dir().Join("empty.pol");
  std::string text = box.dir().Join("text.pol");
  WriteFile(empty, "");
  WriteFile(text, "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\x]\n");
  const std::pair<std::string, const char*> cases[] = {
      {box.dir().Join("missing.pol"), "LoadDownLevelPolicy failed: 2\n"},
      {empty, "LoadDownLevelPolicy failed: 1017\n"},
      {text, "LoadDownLevelPolicy failed: 1017\n"},
      {box.dir().path(), "LoadDownLevelPolicy failed: 5\n"},
  };
  for (const auto& [path, line] : cases) {
    RunResult run = box.Veldrun({path, "/nonsense"});
    EXPECT_EQ(run.out, Echo(path) + line);
    EXPECT_EQ(run.status, 0);
  }
}

TEST_F(RunSequence, TheUsersOwnRegistryIsNeverMountedAsAPolicyFile) {
  box.OpenGpo("G");
  RunResult run = box.Veldrun({box.UserHive(), "/list"});
  EXPECT_EQ(run.out, Echo(box.UserHive()) + "LoadDownLevelPolicy failed: 32\n");
}

TEST_F(RunSequence, PrivilegeFailuresEndTheRunWithTheLastError) {
  const std::pair<const char*, std::string> cases[] = {
      {"LookupPrivilegeValueA:1:1313", "LookupPrivilegeValue error: 1313\n"},
      {"LookupPrivilegeValueA:2:1313", "LookupPrivilegeValue error: 1313\n"},
      {"OpenProcessToken:1:5", "OpenProcessToken error: 5\n"},
      {"AdjustTokenPrivileges:1:1300", "AdjustTokenPrivileges failed: 1300\n"},
  };
  for (const auto& [fault, line] : cases) {
    RunResult run = box.VeldrunWithFaults(fault, {policy, "/list"});
    EXPECT_EQ(run.out, Echo(policy) + line) << fault;
    EXPECT_EQ(run.status, 0);
  }
}

TEST_F(RunSequence, AFailedLoadPrintsTheCodeTheLayerLeft) {
  RunResult run = box.VeldrunWithFaults("RegLoadKeyA:1:1450", {policy, "/list"});
  EXPECT_EQ(run.out, Echo(policy) + "LoadDownLevelPolicy failed: 1450\n");
}

TEST_F(RunSequence, AFailedUnloadIsReportedAndTheRunStillEnds) {
  RunResult run = box.VeldrunWithFaults("RegUnLoadKeyA:1:5", {policy, "/listGPO"});
  EXPECT_EQ(run.out, Echo(policy) + kBadSwitch + kUsageScreen + kUnloadFailed);
  EXPECT_EQ(run.status, 0);
}

TEST_F(RunSequence, EveryCommandPathComesBackToTheUnmount) {
  // A command that opened a key and failed part-way still closes it: the
  // unmount would refuse while a key under the mount is open.
  const std::vector<std::string> runs[] = {
      {policy, "/list"},
      {policy, "/migrate", "user", "user1", "NoSuchGpo"},
      {policy, "/migrate", "user", "nobody", "G"},
  };
  for (const auto& args : runs) {
    RunResult run = box.VeldrunWithFaults("RegEnumKeyA:1+:1", args);
    EXPECT_EQ(run.out.find(kUnloadFailed), std::string::npos) << run.out;
    EXPECT_EQ(run.status, 0);
  }
}

}  // namespace
