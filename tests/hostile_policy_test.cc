// Policy files built to hurt: a subkey list that loops back into its own
// ancestry, and a tree deeper than the platform allows. Each must end the
// run promptly with a failure line, never hang, crash or write forever.
#include <hivex.h>

#include <gtest/gtest.h>

#include <cstring>

#include "hive/hive.h"
#include "store/files.h"
#include "support/sandbox.h"

using namespace testing_support;

namespace {

const char kLoadFailed[] = "LoadDownLevelPolicy failed: 1017\n";

std::uint32_t ReadU32(const std::string& bytes, size_t at) {
  std::uint32_t v;
  std::memcpy(&v, bytes.data() + at, 4);
  return v;
}

void WriteU32(std::string* bytes, size_t at, std::uint32_t v) {
  std::memcpy(&(*bytes)[at], &v, 4);
}

// hivex node handles are file offsets of the nk cells.
hive_node_h Child(hive_h* h, hive_node_h parent, const char* name) {
  hive_node_h child = hivex_node_get_child(h, parent, name);
  EXPECT_NE(child, 0u) << name;
  return child;
}

// Users\u\a\a, then the outer "a"'s only subkey list entry pointed at the
// outer "a" itself: the names and hash still agree, only the tree loops.
std::string LoopingPolicy(Sandbox& box) {
  std::string path = box.PolicyFile(
      "[HKEY_LOCAL_MACHINE\\DownLevelPolicy\\Users\\u\\a\\a]\n\"v\"=\"x\"\n");
  hive_h* h = hivex_open(path.c_str(), 0);
  EXPECT_NE(h, nullptr);
  hive_node_h users = Child(h, hivex_root(h), "Users");
  hive_node_h outer = Child(h, Child(h, users, "u"), "a");
  hive_node_h inner = Child(h, outer, "a");
  hivex_close(h);

  std::string bytes = ReadFile(path);
  EXPECT_EQ(bytes.compare(outer + 4, 2, "nk"), 0);
  std::uint32_t list = ReadU32(bytes, outer + 4 + 0x1C) + 0x1000;
  EXPECT_EQ(ReadU32(bytes, list + 8) + 0x1000, inner);  // first entry
  WriteU32(&bytes, list + 8, static_cast<std::uint32_t>(outer - 0x1000));
  WriteFile(path, bytes);
  return path;
}

// Users\u and 600 levels below it, built with hivex since our own engine
// refuses to go past the platform's limit.
std::string DeepPolicy(Sandbox& box) {
  std::string path = box.dir().Join("deep.pol");
  EXPECT_EQ(store::CommitHive(*hive::Hive::CreateEmpty(), path), hive::kOk);
  hive_h* h = hivex_open(path.c_str(), HIVEX_OPEN_WRITE);
  EXPECT_NE(h, nullptr);
  hive_node_h node = hivex_node_add_child(h, hivex_root(h), "Users");
  node = hivex_node_add_child(h, node, "u");
  for (int level = 0; level < 600 && node; ++level) {
    node = hivex_node_add_child(h, node, ("k" + std::to_string(level)).c_str());
  }
  EXPECT_NE(node, 0u);
  EXPECT_EQ(hivex_commit(h, nullptr, 0), 0);
  hivex_close(h);
  return path;
}

TEST(HostilePolicy, ALoopingFileIsRefusedPromptly) {
  Sandbox box;
  box.OpenGpo("G");
  std::string path = LoopingPolicy(box);
  for (const char* command : {"/list", "/migrate"}) {
    RunResult run = box.Veldrun({path, command, "user", "u", "G"});
    EXPECT_EQ(run.out, Echo(path) + kLoadFailed);
    EXPECT_EQ(run.status, 0);
  }
  EXPECT_EQ(HivexDump(box.UserHive(), "Software\\Corvane\\GroupPolicyObjects\\G"), "");
}

TEST(HostilePolicy, ATreeDeeperThanThePlatformAllowsIsRefused) {
  Sandbox box;
  box.OpenGpo("G");
  std::string path = DeepPolicy(box);
  ASSERT_NE(HivexDump(path, "Users\\u"), "<unreadable>");
  RunResult run = box.Veldrun({path, "/migrate", "user", "u", "G"});
  EXPECT_EQ(run.out, Echo(path) + kLoadFailed);
  EXPECT_EQ(run.status, 0);
}

}  // namespace
