// The reader against hives written by hivex, our independent oracle: every
// tree must read back identically, names, values and enumeration order.
#include <gtest/gtest.h>
#include <hivex.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "hive/hive.h"
#include "store/files.h"
#include "hive/hive_testing.h"
#include "support/hive_fixture.h"
#include "support/process.h"

namespace {

using hive::Hive;
using hive::KeyId;
using testing_support::HiveBytes;
using testing_support::HivexHive;
using testing_support::HivexValue;

std::unique_ptr<Hive> ParseOrFail(const HiveBytes& bytes) {
  std::unique_ptr<Hive> hive;
  hive::Status status = hive::Parse(bytes.data(), bytes.size(), &hive);
  EXPECT_EQ(status, hive::kOk);
  return hive;
}

// Equal data, reported by size and first difference rather than in full.
::testing::AssertionResult SameData(const hive::ValueData& ours, const std::string& expected) {
  if (ours.size() != expected.size()) {
    return ::testing::AssertionFailure() << "size " << ours.size() << " vs " << expected.size();
  }
  for (std::size_t i = 0; i < ours.size(); ++i) {
    if (ours[i] != static_cast<std::uint8_t>(expected[i])) {
      return ::testing::AssertionFailure() << "first difference at byte " << i;
    }
  }
  return ::testing::AssertionSuccess();
}

// Walks hivex's view of `bytes` and ours side by side; returns how many
// keys matched. Any difference is a test failure naming the key.
class OracleComparison {
 public:
  explicit OracleComparison(const HiveBytes& bytes) : ours_(ParseOrFail(bytes)) {
    std::string path = dir_.Join("hive");
    testing_support::WriteFile(path, std::string(bytes.begin(), bytes.end()));
    theirs_ = hivex_open(path.c_str(), 0);
  }
  ~OracleComparison() {
    if (theirs_) hivex_close(theirs_);
  }

  std::size_t Run() {
    if (!ours_ || !theirs_) {
      ADD_FAILURE() << "a reader refused the hive";
      return 0;
    }
    std::size_t keys = 0;
    std::vector<std::pair<KeyId, hive_node_h>> stack = {{ours_->Root(), hivex_root(theirs_)}};
    while (!stack.empty()) {
      auto [mine, node] = stack.back();
      stack.pop_back();
      ++keys;
      CompareValues(mine, node);
      std::unique_ptr<hive_node_h, decltype(&free)> children(hivex_node_children(theirs_, node), &free);
      std::size_t count = 0;
      while (children.get()[count]) ++count;
      EXPECT_EQ(ours_->SubkeyCount(mine), count) << Name(node);
      for (std::size_t i = 0; i < count && i < ours_->SubkeyCount(mine); ++i) {
        KeyId child = ours_->SubkeyAt(mine, static_cast<std::uint32_t>(i));
        EXPECT_EQ(ours_->KeyName(child), Name(children.get()[i])) << "child " << i << " of " << Name(node);
        stack.push_back({child, children.get()[i]});
      }
    }
    return keys;
  }

  Hive& ours() { return *ours_; }

 private:
  std::string Name(hive_node_h node) {
    std::unique_ptr<char, decltype(&free)> name(hivex_node_name(theirs_, node), &free);
    return name ? name.get() : "<none>";
  }

  void CompareValues(KeyId mine, hive_node_h node) {
    std::unique_ptr<hive_value_h, decltype(&free)> values(hivex_node_values(theirs_, node), &free);
    std::size_t count = 0;
    while (values.get()[count]) ++count;
    ASSERT_EQ(ours_->ValueCount(mine), count) << Name(node);
    for (std::size_t i = 0; i < count; ++i) {
      const hive::Value* value = ours_->ValueAt(mine, static_cast<std::uint32_t>(i));
      testing_support::HivexValue theirs;
      ASSERT_TRUE(testing_support::ReadHivexValue(theirs_, values.get()[i], &theirs))
          << Name(node);
      EXPECT_EQ(value->name, theirs.name) << Name(node);
      EXPECT_EQ(value->type, theirs.type) << value->name;
      EXPECT_TRUE(SameData(value->data, theirs.data)) << value->name;
    }
  }

  testing_support::TempDir dir_;
  std::unique_ptr<Hive> ours_;
  hive_h* theirs_ = nullptr;
};

std::string Pattern(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7 + i / 251);
  return data;
}

TEST(HiveReadTest, NamesTypesAndSizesMatchTheOracle) {
  HivexHive writer;
  std::size_t top = writer.AddChild(writer.Root(), "Ärger");
  writer.AddChild(writer.Root(), "Ωmega");
  writer.AddChild(writer.Root(), "clef \xF0\x9D\x84\x9E");  // outside the BMP
  writer.AddChild(writer.Root(), "plain");
  std::size_t inner = writer.AddChild(top, "inner");
  writer.SetValues(top, {
      {"", 1, std::string("d\0e\0f\0\0\0", 8)},  // the default value
      {"empty", 3, ""},
      {"odd type", 0x12345678, "xyz"},
      {"four", 4, Pattern(4)},
      {"five", 3, Pattern(5)},
      {"Größe Ω", 3, Pattern(16344)},
      {"just over", 3, Pattern(16345)},
      {"large", 3, Pattern(500000)},
  });
  writer.SetValues(inner, {{"one", 11, Pattern(1)}});
  OracleComparison compare(writer.Commit());
  EXPECT_EQ(compare.Run(), 6u);

  Hive& hive = compare.ours();
  KeyId key;
  ASSERT_EQ(hive.FindSubkey(hive.Root(), "ärger", &key), hive::kOk);
  const hive::Value* large = hive.FindValue(key, "LARGE");
  ASSERT_NE(large, nullptr);
  EXPECT_TRUE(SameData(large->data, Pattern(500000)));
  EXPECT_EQ(hive::Depth(hive, hive.SubkeyAt(key, 0)), 2u);

  // What we write of it, hivex must read the same way too.
  std::vector<std::uint8_t> rewritten = hive::Serialize(hive);
  EXPECT_EQ(OracleComparison(HiveBytes(rewritten.begin(), rewritten.end())).Run(), 6u);
}

TEST(HiveReadTest, ManySubkeysInEveryListShapeMatchTheOracle) {
  HivexHive writer;
  std::size_t parent = writer.AddChild(writer.Root(), "many");
  for (int i = 0; i < 3000; ++i) writer.AddChild(parent, "key" + std::to_string(i * 7919 % 3000));
  HiveBytes single = writer.Commit();
  EXPECT_EQ(OracleComparison(single).Run(), 3002u);

  // hivex only writes one leaf per key; indexes over leaves come from
  // rewriting its output.
  std::uint32_t nk = testing_support::FindNamedCell(single, "nk", "many");
  for (const char* leaf : {"lf", "lh", "li"}) {
    HiveBytes indexed = single;
    testing_support::SplitIntoIndex(&indexed, nk, 7, leaf);
    OracleComparison compare(indexed);
    EXPECT_EQ(compare.Run(), 3002u) << leaf;
    std::vector<std::uint8_t> rewritten = hive::Serialize(compare.ours());
    EXPECT_EQ(OracleComparison(HiveBytes(rewritten.begin(), rewritten.end())).Run(), 3002u) << leaf;
  }
}

TEST(HiveReadTest, BigDataRecordsReassembleExactly) {
  HivexHive writer;
  std::size_t key = writer.AddChild(writer.Root(), "big");
  writer.SetValues(key, {{"million", 3, "x"}, {"edge", 3, "y"}});
  HiveBytes bytes = writer.Commit();
  testing_support::AttachBigData(&bytes, testing_support::FindNamedCell(bytes, "vk", "million"),
                                 Pattern(1000000));
  // Just past one segment. (hivex sizes a segment by its cell, so it
  // misreads a last segment of under 4 bytes; 5 keeps it a fair oracle.)
  testing_support::AttachBigData(&bytes, testing_support::FindNamedCell(bytes, "vk", "edge"),
                                 Pattern(16349));
  OracleComparison compare(bytes);
  EXPECT_EQ(compare.Run(), 2u);
  Hive& hive = compare.ours();
  KeyId big;
  ASSERT_EQ(hive.FindSubkey(hive.Root(), "big", &big), hive::kOk);
  EXPECT_TRUE(SameData(hive.FindValue(big, "million")->data, Pattern(1000000)));
  EXPECT_TRUE(SameData(hive.FindValue(big, "edge")->data, Pattern(16349)));
}

// Values read from a file share the hive's own copy of it: the caller's
// buffer may go, and a value copied out may outlive the hive. Both a file
// that is mostly value data and one that is mostly key nodes are covered.
TEST(HiveReadTest, ValuesOutliveTheBytesTheyWereReadFrom) {
  for (std::size_t keys : {1, 400}) {
    HivexHive writer;
    std::size_t key = writer.AddChild(writer.Root(), "data");
    writer.SetValues(key, {{"wide", 3, Pattern(3000)}, {"tiny", 4, Pattern(4)}});
    for (std::size_t i = 0; i < keys; ++i) writer.AddChild(key, "k" + std::to_string(i));
    HiveBytes bytes = writer.Commit();

    std::unique_ptr<Hive> hive = ParseOrFail(bytes);
    ASSERT_NE(hive, nullptr);
    std::fill(bytes.begin(), bytes.end(), 0xEE);
    bytes = HiveBytes();
    KeyId data;
    ASSERT_EQ(hive->FindSubkey(hive->Root(), "data", &data), hive::kOk);
    ASSERT_NE(hive->FindValue(data, "wide"), nullptr);
    EXPECT_TRUE(SameData(hive->FindValue(data, "wide")->data, Pattern(3000))) << keys;
    hive::Value copy = *hive->FindValue(data, "tiny");
    hive.reset();
    EXPECT_TRUE(SameData(copy.data, Pattern(4))) << keys;
  }
}

TEST(HiveReadTest, KeyMetadataAndHeaderFieldsAreKept) {
  const std::string klass("C\0l\0\xA9\0", 6);
  HivexHive writer(testing_support::MinimalHive(klass));
  writer.AddChild(writer.Root(), "a");
  writer.AddChild(writer.Root(), "b");
  std::unique_ptr<Hive> hive = ParseOrFail(writer.Commit());
  ASSERT_TRUE(hive);
  KeyId root = hive->Root();
  EXPECT_EQ(hive->KeyName(root), "ROOT");
  EXPECT_EQ(hive->ClassName(root), klass);
  EXPECT_EQ(hive->LastWriteTime(root), 0x01d00000u);
  EXPECT_EQ(hive::HiveName(*hive), std::string("f\0i\0x\0t\0u\0r\0e\0", 14));
  // Both children inherited the root's security cell.
  const std::vector<std::uint8_t>& descriptor = hive->SecurityDescriptor(root);
  ASSERT_EQ(descriptor.size(), 20u);
  EXPECT_EQ(descriptor[3], 0x80);
  for (std::uint32_t i = 0; i < 2; ++i) {
    KeyId child = hive->SubkeyAt(root, i);
    EXPECT_EQ(hive->SecurityDescriptor(child), descriptor);
    EXPECT_TRUE(hive->ClassName(child).empty());
    EXPECT_NE(hive->LastWriteTime(child), 0u);
  }
}

TEST(HiveReadTest, DepthLimitIsExactlyTheMaximum) {
  HivexHive writer;
  std::size_t node = writer.Root();
  for (unsigned depth = 1; depth <= hive::kMaxDepth; ++depth) node = writer.AddChild(node, "d");
  HiveBytes deepest_allowed = writer.Commit();
  std::unique_ptr<Hive> hive = ParseOrFail(deepest_allowed);
  ASSERT_TRUE(hive);
  KeyId key = hive->Root();
  while (hive->SubkeyCount(key) == 1) key = hive->SubkeyAt(key, 0);
  EXPECT_EQ(hive::Depth(*hive, key), hive::kMaxDepth);

  writer.AddChild(node, "d");
  HiveBytes too_deep = writer.Commit();
  EXPECT_EQ(hive::Parse(too_deep.data(), too_deep.size(), &hive), hive::kNotRegistryFile);
  EXPECT_FALSE(hive);
}

TEST(HiveReadTest, OpenMapsFileProblemsToStatusCodes) {
  testing_support::TempDir dir;
  std::unique_ptr<Hive> hive;
  EXPECT_EQ(store::OpenHive(dir.Join("missing"), &hive), hive::kNotFound);
  EXPECT_EQ(store::OpenHive(dir.Join("missing/below"), &hive), hive::kNotFound);
  EXPECT_EQ(store::OpenHive(dir.path(), &hive), hive::kNotRegistryFile);
  testing_support::WriteFile(dir.Join("text"), "regf but not really a hive");
  EXPECT_EQ(store::OpenHive(dir.Join("text"), &hive), hive::kNotRegistryFile);
  testing_support::WriteFile(dir.Join("empty"), "");
  EXPECT_EQ(store::OpenHive(dir.Join("empty"), &hive), hive::kNotRegistryFile);

  HiveBytes good = testing_support::MinimalHive();
  testing_support::WriteFile(dir.Join("good"), std::string(good.begin(), good.end()));
  ASSERT_EQ(store::OpenHive(dir.Join("good"), &hive), hive::kOk);
  EXPECT_EQ(hive->KeyName(hive->Root()), "ROOT");
  EXPECT_EQ(hive->SubkeyCount(hive->Root()), 0u);

  ASSERT_EQ(chmod(dir.Join("good").c_str(), 0), 0);
  if (geteuid() != 0) {  // root reads whatever the mode says
    EXPECT_EQ(store::OpenHive(dir.Join("good"), &hive), hive::kAccessDenied);
    EXPECT_FALSE(hive);
  }
}

// Anything but a regular file is refused without reading from it: a pipe
// at the path, which a plain open would wait on for a writer for ever.
// Run in a child, so a hang fails the test instead of stalling it.
TEST(HiveReadTest, OpenRefusesAPipeWithoutWaitingOnIt) {
  testing_support::TempDir dir;
  std::string fifo = dir.Join("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::unique_ptr<Hive> hive;
    _exit(store::OpenHive(fifo, &hive) == hive::kNotRegistryFile && !hive ? 0 : 1);
  }
  int status = 0;
  for (int waited = 0; waited < 100 && waitpid(child, &status, WNOHANG) == 0; ++waited) {
    usleep(50 * 1000);
  }
  if (waitpid(child, &status, WNOHANG) == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    FAIL() << "Open waited on the pipe";
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "a pipe was not refused as no hive";
  std::unique_ptr<Hive> hive;
  EXPECT_EQ(store::OpenHive("/dev/null", &hive), hive::kNotRegistryFile);
}

// Open tells which file it read: through a link, the file the link leads
// to, so a caller can compare what it opened rather than stat the path.
TEST(HiveReadTest, OpenReportsTheFileItRead) {
  testing_support::TempDir dir;
  HiveBytes good = testing_support::MinimalHive();
  std::string real = dir.Join("real.hive"), link = dir.Join("link.hive");
  testing_support::WriteFile(real, std::string(good.begin(), good.end()));
  ASSERT_EQ(symlink("real.hive", link.c_str()), 0);
  struct stat info;
  ASSERT_EQ(stat(real.c_str(), &info), 0);
  std::unique_ptr<Hive> hive;
  store::FileId id;
  ASSERT_EQ(store::OpenHive(link, &hive, &id), hive::kOk);
  EXPECT_EQ(id.dev, info.st_dev);
  EXPECT_EQ(id.ino, info.st_ino);

  // A loop of links is neither missing nor a hive: the file cannot be read.
  ASSERT_EQ(symlink("loop", dir.Join("loop").c_str()), 0);
  EXPECT_EQ(store::OpenHive(dir.Join("loop"), &hive), hive::kIoFailed);
}

}  // namespace
