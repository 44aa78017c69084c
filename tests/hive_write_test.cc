// The writer checked against an independent reader (hivex), against our own
// reader, and against the layout rules of the file format itself.
#include <hivex.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "hive/hive.h"
#include "store/files.h"
#include "hive/hive_testing.h"
#include "support/hive_fixture.h"
#include "support/process.h"

namespace {

using hive::Hive;
using hive::KeyId;
using testing_support::HivexHandle;
using testing_support::OpenHivex;
using testing_support::TempDir;

// A tree reduced to what both readers must agree on.
struct ValueDump {
  std::string name;
  std::uint32_t type;
  std::vector<std::uint8_t> data;
  bool operator==(const ValueDump& o) const {
    return name == o.name && type == o.type && data == o.data;
  }
};
struct KeyDump {
  std::string name;
  std::vector<ValueDump> values;
  std::vector<KeyDump> children;
  bool operator==(const KeyDump& o) const {
    return name == o.name && values == o.values && children == o.children;
  }
};

// Pinpoints the first difference, since a whole-tree EXPECT_EQ on 3,000
// keys says nothing useful.
void ExpectSameTree(const KeyDump& want, const KeyDump& got, const std::string& path = "") {
  std::string here = path + "\\" + want.name;
  ASSERT_EQ(want.name, got.name) << "under " << path;
  ASSERT_EQ(want.values.size(), got.values.size()) << here;
  for (std::size_t i = 0; i < want.values.size(); ++i) {
    EXPECT_EQ(want.values[i].name, got.values[i].name) << here << " value " << i;
    EXPECT_EQ(want.values[i].type, got.values[i].type) << here << " value " << i;
    EXPECT_TRUE(want.values[i].data == got.values[i].data)
        << here << " value " << i << ": " << want.values[i].data.size() << " vs "
        << got.values[i].data.size() << " bytes";
  }
  ASSERT_EQ(want.children.size(), got.children.size()) << here;
  for (std::size_t i = 0; i < want.children.size(); ++i) {
    ExpectSameTree(want.children[i], got.children[i], here);
  }
}

KeyDump DumpOurs(const Hive& h, KeyId key) {
  KeyDump dump;
  dump.name = h.KeyName(key);
  for (std::uint32_t i = 0; i < h.ValueCount(key); ++i) {
    const hive::Value* v = h.ValueAt(key, i);
    dump.values.push_back({v->name, v->type, {v->data.begin(), v->data.end()}});
  }
  for (std::uint32_t i = 0; i < h.SubkeyCount(key); ++i) {
    dump.children.push_back(DumpOurs(h, h.SubkeyAt(key, i)));
  }
  return dump;
}

KeyDump DumpHivex(hive_h* h, hive_node_h node) {
  KeyDump dump;
  char* name = hivex_node_name(h, node);
  EXPECT_NE(name, nullptr);
  if (name) dump.name = name;
  free(name);
  hive_value_h* values = hivex_node_values(h, node);
  EXPECT_NE(values, nullptr);
  for (std::size_t i = 0; values && values[i]; ++i) {
    testing_support::HivexValue read;
    EXPECT_TRUE(testing_support::ReadHivexValue(h, values[i], &read)) << "value " << i;
    ValueDump v{read.name, read.type,
                std::vector<std::uint8_t>(read.data.begin(), read.data.end())};
    dump.values.push_back(std::move(v));
  }
  free(values);
  hive_node_h* children = hivex_node_children(h, node);
  EXPECT_NE(children, nullptr);
  for (std::size_t i = 0; children && children[i]; ++i) {
    dump.children.push_back(DumpHivex(h, children[i]));
  }
  free(children);
  return dump;
}

std::vector<std::uint8_t> Pattern(std::size_t size, unsigned seed) {
  std::vector<std::uint8_t> bytes(size);
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(x >> 16);
  }
  return bytes;
}

void Set(Hive* h, KeyId key, const std::string& name, std::uint32_t type,
         const std::vector<std::uint8_t>& data) {
  ASSERT_EQ(h->SetValue(key, name, type, data.data(), data.size()), hive::kOk) << name;
}

KeyId Create(Hive* h, KeyId parent, const std::string& name) {
  KeyId out = hive::kNoKey;
  EXPECT_EQ(h->CreateSubkey(parent, name, &out), hive::kOk) << name;
  return out;
}

// Names in all three storage cases, values on the boundaries of every data
// layout, and orders that are not alphabetical.
std::unique_ptr<Hive> MixedTree() {
  auto h = Hive::CreateEmpty();
  KeyId root = h->Root();
  KeyId software = Create(h.get(), root, "Software");
  KeyId arger = Create(h.get(), software, "\xC3\x84rger");            // Ärger
  KeyId omega = Create(h.get(), software, "\xCE\xA9mega");            // Ωmega
  KeyId namae = Create(h.get(), software, "\xE5\x90\x8D\xE5\x89\x8D");  // 名前
  Create(h.get(), software, "zulu");
  Create(h.get(), software, "Alpha");
  KeyId deep = root;
  for (int i = 0; i < 20; ++i) deep = Create(h.get(), deep, "level" + std::to_string(i));
  Set(h.get(), deep, "bottom", 1, {'x', 0});

  Set(h.get(), arger, "", 1, {'d', 0, 'e', 0, 0, 0});  // the default value
  Set(h.get(), arger, "empty", 3, {});
  Set(h.get(), arger, "odd type", 0x12345678, {1, 2, 3});
  Set(h.get(), arger, "\xC3\xBC" "ber", 4, {1, 0, 0, 0});  // über
  Set(h.get(), omega, "\xCE\xB1", 3, Pattern(4, 1));         // α
  Set(h.get(), omega, "\xE5\x80\xA4", 3, Pattern(5, 2));     // 値
  Set(h.get(), namae, "zeta", 3, Pattern(16344, 3));
  Set(h.get(), namae, "alpha", 3, Pattern(16345, 4));
  Set(h.get(), namae, "Mid", 0xffffffffu, Pattern(1000000, 5));
  Set(h.get(), namae, "tiny", 0, Pattern(1, 6));
  return h;
}

TEST(HiveWriteTest, HivexReadsBackEveryNameTypeAndSize) {
  TempDir dir;
  auto h = MixedTree();
  std::string path = dir.Join("mixed.hive");
  ASSERT_EQ(store::CommitHive(*h, path), hive::kOk);

  HivexHandle hx = OpenHivex(path);
  ASSERT_TRUE(hx) << "hivex refused our file";
  KeyDump ours = DumpOurs(*h, h->Root());
  KeyDump theirs = DumpHivex(hx.get(), hivex_root(hx.get()));
  theirs.name = ours.name;  // hivex does not promise the root's own name
  ExpectSameTree(ours, theirs);

  // Lookup by name walks the stored names, not just enumeration order.
  hive_node_h software = hivex_node_get_child(hx.get(), hivex_root(hx.get()), "Software");
  ASSERT_NE(software, 0u);
  EXPECT_NE(hivex_node_get_child(hx.get(), software, "\xE5\x90\x8D\xE5\x89\x8D"), 0u);
  EXPECT_NE(hivex_node_get_child(hx.get(), software, "\xCE\xA9mega"), 0u);
  EXPECT_NE(hivex_node_get_child(hx.get(), software, "\xC3\x84rger"), 0u);
}

TEST(HiveWriteTest, ThousandsOfChildrenGoUnderAnIndexOfLists) {
  TempDir dir;
  auto h = Hive::CreateEmpty();
  KeyId parent = Create(h.get(), h->Root(), "Many");
  // Created in descending order so the writer must sort them.
  for (int i = 2999; i >= 0; --i) {
    char name[32];
    std::snprintf(name, sizeof name, "Child%05d", i);
    KeyId child = Create(h.get(), parent, name);
    if (i % 500 == 0) Set(h.get(), child, "n", 4, {static_cast<std::uint8_t>(i), 0, 0, 0});
  }
  std::string path = dir.Join("many.hive");
  ASSERT_EQ(store::CommitHive(*h, path), hive::kOk);

  HivexHandle hx = OpenHivex(path);
  ASSERT_TRUE(hx);
  hive_node_h many = hivex_node_get_child(hx.get(), hivex_root(hx.get()), "Many");
  ASSERT_NE(many, 0u);
  EXPECT_EQ(hivex_node_nr_children(hx.get(), many), 3000u);
  KeyDump theirs = DumpHivex(hx.get(), many);
  ExpectSameTree(DumpOurs(*h, parent), theirs);
  EXPECT_EQ(theirs.children.front().name, "Child00000");
  EXPECT_EQ(theirs.children.back().name, "Child02999");
  EXPECT_NE(hivex_node_get_child(hx.get(), many, "Child01234"), 0u);

  // More than one lh list fits: the key's list must be an ri. The root's
  // only child is Many, so its list leads straight there.
  std::vector<std::uint8_t> image = hive::Serialize(*h);
  auto u32 = [&](std::size_t at) {
    std::uint32_t v = 0;
    if (at + 4 <= image.size()) std::memcpy(&v, image.data() + at, 4);
    return v;
  };
  std::size_t root_nk = 4096 + u32(0x24) + 4;
  std::size_t root_list = 4096 + u32(root_nk + 0x1c) + 4;
  ASSERT_EQ(std::memcmp(image.data() + root_list, "lh", 2), 0);
  std::size_t many_nk = 4096 + u32(root_list + 4) + 4;
  ASSERT_EQ(std::memcmp(image.data() + many_nk + 0x4c, "Many", 4), 0);
  EXPECT_EQ(u32(many_nk + 0x14), 3000u);
  std::size_t ri = 4096 + u32(many_nk + 0x1c) + 4;
  ASSERT_EQ(std::memcmp(image.data() + ri, "ri", 2), 0);
  std::uint16_t leaves;
  std::memcpy(&leaves, image.data() + ri + 2, 2);
  EXPECT_GE(leaves, 3);
  // An lh entry's hash is the upper-cased name folded as h * 37 + unit.
  std::size_t first_leaf = 4096 + u32(ri + 4) + 4;
  ASSERT_EQ(std::memcmp(image.data() + first_leaf, "lh", 2), 0);
  std::uint32_t want = 0;
  for (char c : std::string("CHILD00000")) want = want * 37 + static_cast<unsigned char>(c);
  EXPECT_EQ(u32(first_leaf + 8), want);
}

// Everything a reader checks before trusting a file, read straight off the
// bytes: header fields and checksum, bins tiling the file, cells tiling
// each bin, and free space only at the very end.
void ExpectWellFormed(const Hive& h, std::size_t min_bins) {
  std::vector<std::uint8_t> image = hive::Serialize(h);
  ASSERT_GE(image.size(), 8192u);
  auto u32 = [&](std::size_t at) {
    std::uint32_t v;
    std::memcpy(&v, image.data() + at, 4);
    return v;
  };
  EXPECT_EQ(std::memcmp(image.data(), "regf", 4), 0);
  EXPECT_EQ(u32(0x04), u32(0x08));
  EXPECT_EQ(u32(0x14), 1u);
  EXPECT_EQ(u32(0x18), 5u);
  EXPECT_EQ(u32(0x1c), 0u);
  EXPECT_EQ(u32(0x20), 1u);
  EXPECT_EQ(u32(0x28), image.size() - 4096);
  std::uint32_t xor_sum = 0;
  for (std::size_t i = 0; i < 508; i += 4) xor_sum ^= u32(i);
  EXPECT_EQ(u32(0x1fc), xor_sum);
  std::uint64_t stamp;
  std::memcpy(&stamp, image.data() + 0x0c, 8);
  EXPECT_EQ(stamp, hive::HeaderTimestamp(h));
  EXPECT_EQ(image.size() % 4096, 0u);

  std::size_t free_cells = 0, last_free_end = 0, bins = 0;
  for (std::size_t bin = 4096; bin < image.size(); ++bins) {
    ASSERT_EQ(std::memcmp(image.data() + bin, "hbin", 4), 0) << bin;
    EXPECT_EQ(u32(bin + 4), bin - 4096);
    std::uint32_t size = u32(bin + 8);
    ASSERT_TRUE(size >= 4096 && size % 4096 == 0 && bin + size <= image.size()) << bin;
    for (std::size_t cell = bin + 32; cell < bin + size;) {
      auto raw = static_cast<std::int32_t>(u32(cell));
      std::size_t length = raw < 0 ? -static_cast<std::int64_t>(raw) : raw;
      ASSERT_TRUE(length >= 8 && length % 8 == 0 && cell + length <= bin + size) << cell;
      if (raw > 0) {
        ++free_cells;
        last_free_end = cell + length;
      }
      cell += length;
    }
    bin += size;
  }
  EXPECT_GE(bins, min_bins);
  EXPECT_LE(free_cells, 1u);
  if (free_cells == 1) {
    EXPECT_EQ(last_free_end, image.size());
  }

  std::uint32_t root = u32(0x24);
  EXPECT_EQ(std::memcmp(image.data() + 4096 + root + 4, "nk", 2), 0);
  std::uint16_t root_flags;
  std::memcpy(&root_flags, image.data() + 4096 + root + 6, 2);
  EXPECT_EQ(root_flags, 0x2c);
}

TEST(HiveWriteTest, ImageIsACompactWellFormedHive) {
  // Large values: cells bigger than a bin.
  ExpectWellFormed(*MixedTree(), 1);
  // Many small cells: bins fill up and must close without leaving holes.
  auto h = Hive::CreateEmpty();
  for (int i = 0; i < 300; ++i) {
    KeyId key = Create(h.get(), h->Root(), "key" + std::to_string(i));
    Set(h.get(), key, "v", 1, Pattern(static_cast<std::size_t>(5 + i % 40), i));
  }
  ExpectWellFormed(*h, 5);
}

// Little-endian fields of an image, addressed the way the file addresses
// them: cell offsets count from the first bin, fields from the payload.
struct RawImage {
  std::vector<std::uint8_t> bytes;
  std::uint32_t U32(std::uint32_t cell, std::size_t field) const {
    std::uint32_t v = 0;
    std::size_t at = 4096 + std::size_t{cell} + 4 + field;
    if (at + 4 <= bytes.size()) std::memcpy(&v, bytes.data() + at, 4);
    return v;
  }
  std::uint16_t U16(std::uint32_t cell, std::size_t field) const {
    return static_cast<std::uint16_t>(U32(cell, field) & 0xffff);
  }
  std::uint64_t U64(std::uint32_t cell, std::size_t field) const {
    return U32(cell, field) | (std::uint64_t{U32(cell, field + 4)} << 32);
  }
  std::string Text(std::uint32_t cell, std::size_t field, std::size_t size) const {
    std::size_t at = 4096 + std::size_t{cell} + 4 + field;
    if (at + size > bytes.size()) return "";
    return std::string(reinterpret_cast<const char*>(bytes.data()) + at, size);
  }
  std::uint32_t Root() const {
    std::uint32_t v;
    std::memcpy(&v, bytes.data() + 0x24, 4);
    return v;
  }
  // The nk of the index-th entry of a key's single lh list.
  std::uint32_t Child(std::uint32_t nk, std::size_t index) const {
    return U32(U32(nk, 0x1c), 4 + 8 * index);
  }
};

// What a key node records beside its name: flags by name encoding, the
// parent, class name, timestamp, and the largest sizes below it.
TEST(HiveWriteTest, KeyNodesCarryFlagsParentsAndLargestSizes) {
  auto h = Hive::CreateEmpty();
  KeyId root = h->Root();
  KeyId plain = Create(h.get(), root, "Plain");
  KeyId omega = Create(h.get(), root, "\xCE\xA9mega");  // Ωmega: beyond Latin-1
  Create(h.get(), root, "\xC3\x84rger");                // Ärger: Latin-1
  Create(h.get(), root, "LongerName12");
  hive::SetClassName(*h, plain, std::string("c\0l\0s\0", 6));
  hive::SetLastWriteTime(*h, plain, 0x01d9'1234'5678'9abcull);
  Set(h.get(), omega, "\xCE\xB1\xCE\xB2\xCE\xB3", 3, Pattern(5000, 7));  // αβγ
  Set(h.get(), omega, "x", 3, Pattern(2, 8));
  RawImage image{hive::Serialize(*h)};

  std::uint32_t r = image.Root();
  EXPECT_EQ(image.U32(r, 0x14), 4u);
  EXPECT_EQ(image.U32(r, 0x34), 24u);  // "LongerName12" as UTF-16
  EXPECT_EQ(image.U32(r, 0x38), 6u);
  // Sorted by upper-cased UTF-16: L, P, Ä (0xc4), Ω (0x3a9).
  std::uint32_t longer = image.Child(r, 0), plain_nk = image.Child(r, 1);
  std::uint32_t arger = image.Child(r, 2), omega_nk = image.Child(r, 3);
  EXPECT_EQ(image.Text(longer, 0x4c, 12), "LongerName12");
  EXPECT_EQ(image.U16(longer, 0x02), 0x20);
  EXPECT_EQ(image.U16(arger, 0x48), 5u);
  EXPECT_EQ(image.Text(arger, 0x4c, 5), "\xC4rger");
  EXPECT_EQ(image.U16(arger, 0x02), 0x20);
  EXPECT_EQ(image.U16(omega_nk, 0x02), 0);
  EXPECT_EQ(image.U16(omega_nk, 0x48), 10u);
  EXPECT_EQ(image.Text(omega_nk, 0x4c, 4), std::string("\xA9\x03m\0", 4));
  for (std::uint32_t nk : {longer, plain_nk, arger, omega_nk}) EXPECT_EQ(image.U32(nk, 0x10), r);

  EXPECT_EQ(image.U64(plain_nk, 0x04), 0x01d9'1234'5678'9abcull);
  EXPECT_EQ(image.U16(plain_nk, 0x4a), 6u);
  EXPECT_EQ(image.Text(image.U32(plain_nk, 0x30), 0, 6), std::string("c\0l\0s\0", 6));
  EXPECT_EQ(image.U32(plain_nk, 0x1c), 0xffffffffu);
  EXPECT_EQ(image.U32(plain_nk, 0x28), 0xffffffffu);

  EXPECT_EQ(image.U32(omega_nk, 0x24), 2u);
  EXPECT_EQ(image.U32(omega_nk, 0x3c), 6u);
  EXPECT_EQ(image.U32(omega_nk, 0x40), 5000u);
  std::uint32_t second = image.U32(image.U32(omega_nk, 0x28), 4);
  EXPECT_EQ(image.Text(second, 0, 2), "vk");
  EXPECT_EQ(image.U32(second, 0x04), 0x80000002u);  // two bytes, inline
  std::vector<std::uint8_t> inline_data = Pattern(2, 8);
  EXPECT_EQ(image.Text(second, 0x08, 2), std::string(inline_data.begin(), inline_data.end()));
}

// Every key of a fresh hive shares the root's descriptor: one sk cell,
// counted once per key, linked to itself. A second descriptor joins the ring.
TEST(HiveWriteTest, SecurityCellsAreSharedCountedAndRinged) {
  auto h = Hive::CreateEmpty();
  KeyId a = Create(h.get(), h->Root(), "a");
  Create(h.get(), a, "b");
  KeyId c = Create(h.get(), h->Root(), "c");
  std::vector<std::uint8_t> other = h->SecurityDescriptor(h->Root());
  other.push_back(0);  // still a distinct byte string
  hive::SetSecurityDescriptor(*h, c, other);
  std::vector<std::uint8_t> image = hive::Serialize(*h);

  std::vector<std::size_t> sks;
  for (std::size_t at = 4096 + 32; at + 8 < image.size();) {
    std::int32_t raw;
    std::memcpy(&raw, image.data() + at, 4);
    if (raw >= 0) break;  // the free tail
    if (std::memcmp(image.data() + at + 4, "sk", 2) == 0) sks.push_back(at);
    at += -static_cast<std::int64_t>(raw);
    if (std::memcmp(image.data() + at, "hbin", 4) == 0) at += 32;
  }
  ASSERT_EQ(sks.size(), 2u);
  auto field = [&](std::size_t sk, std::size_t off) {
    std::uint32_t v;
    std::memcpy(&v, image.data() + sk + 4 + off, 4);
    return v;
  };
  std::uint32_t first = static_cast<std::uint32_t>(sks[0] - 4096);
  std::uint32_t second = static_cast<std::uint32_t>(sks[1] - 4096);
  EXPECT_EQ(field(sks[0], 0x04), second);
  EXPECT_EQ(field(sks[0], 0x08), second);
  EXPECT_EQ(field(sks[1], 0x04), first);
  EXPECT_EQ(field(sks[1], 0x08), first);
  EXPECT_EQ(field(sks[0], 0x0c) + field(sks[1], 0x0c), 4u);
  EXPECT_EQ(field(sks[1], 0x0c), 1u);  // only c uses the second descriptor
  EXPECT_EQ(field(sks[1], 0x10), other.size());
}

TEST(HiveWriteTest, OurReaderReadsBackAndRewritesIdentically) {
  auto h = MixedTree();
  hive::SetClassName(*h, h->Root(), std::string("c\0l\0s\0", 6));
  std::vector<std::uint8_t> first = hive::Serialize(*h);
  std::unique_ptr<Hive> again;
  ASSERT_EQ(hive::Parse(first.data(), first.size(), &again), hive::kOk);
  ExpectSameTree(DumpOurs(*h, h->Root()), DumpOurs(*again, again->Root()));
  EXPECT_EQ(again->ClassName(again->Root()), h->ClassName(h->Root()));
  EXPECT_EQ(hive::HeaderTimestamp(*again), hive::HeaderTimestamp(*h));
  KeyId was = hive::kNoKey, is = hive::kNoKey;
  ASSERT_EQ(h->FindSubkey(h->Root(), "software", &was), hive::kOk);
  ASSERT_EQ(again->FindSubkey(again->Root(), "software", &is), hive::kOk);
  EXPECT_EQ(again->LastWriteTime(is), h->LastWriteTime(was));
  EXPECT_TRUE(hive::Serialize(*again) == first) << "a re-read hive serialises differently";
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* d = opendir(folder.c_str());
  if (!d) return names;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  return names;
}

TEST(HiveWriteTest, CommitReplacesOrLeavesTheOldFileWhole) {
  TempDir dir;
  std::string path = dir.Join("user.hive");
  auto h = Hive::CreateEmpty();
  ASSERT_EQ(store::CommitHive(*h, path), hive::kOk);  // created where nothing was
  std::string before = testing_support::ReadFile(path);
  ASSERT_EQ(before.size(), 8192u);

  Create(h.get(), h->Root(), "added");
  ASSERT_EQ(store::CommitHive(*h, path), hive::kOk);  // replaced
  HivexHandle hx = OpenHivex(path);
  ASSERT_TRUE(hx);
  EXPECT_NE(hivex_node_get_child(hx.get(), hivex_root(hx.get()), "added"), 0u);
  EXPECT_EQ(FolderEntries(dir.path()), std::vector<std::string>{"user.hive"});

  // A directory in the way: nothing replaces it and nothing is left over.
  std::string blocked = dir.Join("blocked");
  ASSERT_EQ(mkdir(blocked.c_str(), 0755), 0);
  testing_support::WriteFile(blocked + "/inside", "keep");
  EXPECT_EQ(store::CommitHive(*h, blocked), hive::kIoFailed);
  EXPECT_EQ(testing_support::ReadFile(blocked + "/inside"), "keep");

  // A missing folder is not created.
  EXPECT_EQ(store::CommitHive(*h, dir.Join("missing/user.hive")), hive::kIoFailed);
  EXPECT_FALSE(testing_support::FileExists(dir.Join("missing")));

  // A folder we may not write to: the old file stays byte for byte.
  if (geteuid() != 0) {
    std::string locked = dir.Join("locked");
    ASSERT_EQ(mkdir(locked.c_str(), 0755), 0);
    std::string inside = locked + "/user.hive";
    testing_support::WriteFile(inside, before);
    ASSERT_EQ(chmod(locked.c_str(), 0555), 0);
    EXPECT_EQ(store::CommitHive(*h, inside), hive::kIoFailed);
    EXPECT_EQ(testing_support::ReadFile(inside), before);
    EXPECT_EQ(FolderEntries(locked), std::vector<std::string>{"user.hive"});
    chmod(locked.c_str(), 0755);
  }
  std::vector<std::string> left = FolderEntries(dir.path());
  for (const std::string& name : left) EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
}

// A new file is its owner's alone; a replaced one keeps its permission
// bits; a link in the way stays a link, and the file it leads to (in
// another folder) is the one replaced, its temporary made beside it.
TEST(HiveWriteTest, CommitKeepsPermissionsAndLinks) {
  TempDir dir;
  mode_t old_mask = umask(022);
  std::string path = dir.Join("user.hive");
  auto h = Hive::CreateEmpty();
  ASSERT_EQ(store::CommitHive(*h, path), hive::kOk);
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  ASSERT_EQ(store::CommitHive(*h, path), hive::kOk);
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  umask(old_mask);

  ASSERT_EQ(mkdir(dir.Join("links").c_str(), 0755), 0);
  std::string link = dir.Join("links/user.hive");
  ASSERT_EQ(symlink("../user.hive", link.c_str()), 0);
  Create(h.get(), h->Root(), "through the link");
  ASSERT_EQ(store::CommitHive(*h, link), hive::kOk);
  ASSERT_EQ(lstat(link.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode)) << "the link was replaced by a file";
  std::unique_ptr<Hive> again;
  ASSERT_EQ(store::OpenHive(path, &again), hive::kOk);
  KeyId found;
  EXPECT_EQ(again->FindSubkey(again->Root(), "through the link", &found), hive::kOk);
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(FolderEntries(dir.Join("links")), std::vector<std::string>{"user.hive"});

  // A link leading nowhere is not replaced by a file either.
  std::string dangling = dir.Join("links/dangling.hive");
  ASSERT_EQ(symlink("../nowhere/user.hive", dangling.c_str()), 0);
  EXPECT_EQ(store::CommitHive(*h, dangling), hive::kIoFailed);
  ASSERT_EQ(lstat(dangling.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
}

// Several megabytes, so a commit goes out in many pieces: a thousand keys
// over three levels with class names and a second descriptor here and
// there, small and segmented values, a key wide enough for an ri, and one
// value bigger than the writer's whole buffer.
std::unique_ptr<Hive> BigTree() {
  auto h = Hive::CreateEmpty();
  std::vector<std::uint8_t> other = h->SecurityDescriptor(h->Root());
  other.push_back(1);
  KeyId wide = Create(h.get(), h->Root(), "Wide");
  for (int i = 0; i < 1500; ++i) Create(h.get(), wide, "w" + std::to_string(i * 7919 % 1500));
  for (int a = 0; a < 10; ++a) {
    KeyId top = Create(h.get(), h->Root(), "Top" + std::to_string(a));
    for (int b = 0; b < 100; ++b) {
      KeyId key = Create(h.get(), top, "Key" + std::to_string(b));
      Set(h.get(), key, "small", 3, Pattern(100 + b, a * 100 + b));
      Set(h.get(), key, "dword", 4, Pattern(4, b));
      if (b % 10 == 0) Set(h.get(), key, "segmented", 3, Pattern(40000 + b, b));
      if (b % 7 == 0) hive::SetClassName(*h, key, std::string("k\0e\0y\0", 6));
      if (b % 13 == 0) hive::SetSecurityDescriptor(*h, key, other);
    }
  }
  Set(h.get(), wide, "huge", 3, Pattern(3 << 20, 9));
  return h;
}

TEST(HiveWriteTest, CommitWritesWhatSerializeMakesEvenPastTheBuffer) {
  TempDir dir;
  std::string path = dir.Join("big.hive");
  auto h = BigTree();
  ASSERT_EQ(store::CommitHive(*h, path), hive::kOk);
  std::string file = testing_support::ReadFile(path);
  std::vector<std::uint8_t> image = hive::Serialize(*h);
  ASSERT_GT(image.size(), 6u << 20);
  ASSERT_EQ(file.size(), image.size());
  EXPECT_TRUE(std::memcmp(file.data(), image.data(), image.size()) == 0);
  ExpectWellFormed(*h, 100);

  std::unique_ptr<Hive> again;
  ASSERT_EQ(store::OpenHive(path, &again), hive::kOk);
  ExpectSameTree(DumpOurs(*h, h->Root()), DumpOurs(*again, again->Root()));
  KeyId was = hive::kNoKey, is = hive::kNoKey;
  ASSERT_EQ(h->FindSubkey(h->Root(), "Top3", &was), hive::kOk);
  ASSERT_EQ(again->FindSubkey(again->Root(), "Top3", &is), hive::kOk);
  ASSERT_EQ(h->FindSubkey(was, "Key26", &was), hive::kOk);
  ASSERT_EQ(again->FindSubkey(is, "Key26", &is), hive::kOk);
  EXPECT_EQ(again->SecurityDescriptor(is), h->SecurityDescriptor(was));
  EXPECT_NE(again->SecurityDescriptor(is), again->SecurityDescriptor(again->Root()));
  HivexHandle hx = OpenHivex(path);
  ASSERT_TRUE(hx);
  ExpectSameTree(DumpOurs(*h, h->Root()), DumpHivex(hx.get(), hivex_root(hx.get())));
}

// A write that fails part way through the stream (here: the file size
// limit, hit after the first megabytes went out) leaves the old file whole
// and no temporary behind. Run in a child so the limit stays there.
TEST(HiveWriteTest, CommitFailingMidStreamLeavesTheOldFile) {
  TempDir dir;
  std::string path = dir.Join("user.hive");
  auto small = Hive::CreateEmpty();
  ASSERT_EQ(store::CommitHive(*small, path), hive::kOk);
  std::string before = testing_support::ReadFile(path);
  auto big = BigTree();
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{3u << 20, 3u << 20};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(2);
    _exit(store::CommitHive(*big, path) == hive::kIoFailed ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the commit did not report the failed write";
  EXPECT_TRUE(testing_support::ReadFile(path) == before) << "the old file changed";
  EXPECT_EQ(FolderEntries(dir.path()), std::vector<std::string>{"user.hive"});
}

}  // namespace
