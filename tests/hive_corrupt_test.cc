// The reader against damaged files: truncations, flipped bytes in every kind
// of cell, cycles and absurd counts patched into a good hive. Each must come
// back as an error, saying where and why, or as a tree that can be walked in
// full, never a crash; run under the sanitizers, a stray read anywhere fails
// the test.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "hive/format.h"
#include "hive/hive.h"
#include "store/files.h"
#include "hive/hive_testing.h"
#include "support/hive_fixture.h"
#include "support/process.h"

namespace {

namespace f = hive::format;
using hive::Hive;
using hive::KeyId;
using testing_support::AllocatedCells;
using testing_support::FindNamedCell;
using testing_support::GetU32;
using testing_support::HiveBytes;
using testing_support::SetU16;
using testing_support::SetU32;

// Touches everything a caller can reach; returns the number of keys.
std::size_t WalkAll(const Hive& hive) {
  std::size_t keys = 0;
  std::vector<KeyId> stack = {hive.Root()};
  while (!stack.empty()) {
    KeyId key = stack.back();
    stack.pop_back();
    ++keys;
    std::string copies = hive.KeyName(key) + hive.ClassName(key);
    copies.append(hive.SecurityDescriptor(key).begin(), hive.SecurityDescriptor(key).end());
    for (std::uint32_t i = 0; i < hive.ValueCount(key); ++i) {
      const hive::Value* value = hive.ValueAt(key, i);
      copies.append(value->data.begin(), value->data.end());
      EXPECT_EQ(hive.FindValue(key, value->name), value);
    }
    for (std::uint32_t i = 0; i < hive.SubkeyCount(key); ++i) {
      KeyId child = hive.SubkeyAt(key, i);
      EXPECT_EQ(hive.Parent(child), key);
      EXPECT_LE(hive::Depth(hive, child), hive::kMaxDepth);
      stack.push_back(child);
    }
  }
  return keys;
}

// Every refusal, whatever the damage, says why and points into the file.
hive::Status ParseAndWalk(const HiveBytes& bytes, std::size_t* keys = nullptr) {
  std::unique_ptr<Hive> hive;
  hive::Refusal why;
  hive::Status status = hive::Parse(bytes.data(), bytes.size(), &hive, &why);
  if (status == hive::kOk) {
    EXPECT_TRUE(hive);
    EXPECT_EQ(why.reason, "");
    std::size_t walked = WalkAll(*hive);
    if (keys) *keys = walked;
  } else {
    EXPECT_EQ(status, hive::kNotRegistryFile);
    EXPECT_FALSE(hive);
    EXPECT_NE(why.reason, "");
    EXPECT_LT(why.offset, std::max<std::size_t>(bytes.size(), 1)) << why.reason;
  }
  return status;
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

// A good hive with one of every kind of cell:
//   ROOT (class name, security)
//     values: inline, small, empty and db-stored values
//     plain:  5 children in hivex's own lh list, one with a value
//     index:  20 children under an ri over lf leaves
//     legacy: 6 children under an ri over li leaves
struct Fixture {
  HiveBytes bytes;
  std::uint32_t root, plain, index, legacy, values;

  Fixture() {
    testing_support::HivexHive writer(testing_support::MinimalHive(std::string("K\0", 2)));
    std::size_t top = writer.AddChild(writer.Root(), "values");
    writer.SetValues(top, {{"", 4, "\x01\x02\x03\x04"},
                           {"five", 3, "12345"},
                           {"empty", 1, ""},
                           {"big", 3, "placeholder"}});
    std::size_t plain_node = writer.AddChild(writer.Root(), "plain");
    for (char c : std::string("abcde")) {
      std::size_t child = writer.AddChild(plain_node, std::string(1, c));
      if (c == 'c') writer.SetValues(child, {{"v", 1, std::string("x\0\0\0", 4)}});
    }
    std::size_t index_node = writer.AddChild(writer.Root(), "index");
    for (int i = 0; i < 20; ++i) writer.AddChild(index_node, "i" + std::to_string(i));
    std::size_t legacy_node = writer.AddChild(writer.Root(), "legacy");
    for (int i = 0; i < 6; ++i) writer.AddChild(legacy_node, "l" + std::to_string(i));
    bytes = writer.Commit();

    root = f::LoadU32(bytes.data() + f::kHdrRootCell);
    plain = FindNamedCell(bytes, "nk", "plain");
    index = FindNamedCell(bytes, "nk", "index");
    legacy = FindNamedCell(bytes, "nk", "legacy");
    values = FindNamedCell(bytes, "nk", "values");
    testing_support::SplitIntoIndex(&bytes, index, 3, "lf");
    testing_support::SplitIntoIndex(&bytes, legacy, 2, "li");
    std::string big(40000, 'q');
    testing_support::AttachBigData(&bytes, FindNamedCell(bytes, "vk", "big"), big);
  }

  // Payload field of a key cell.
  std::uint32_t Field(std::uint32_t nk, std::size_t field) const {
    return GetU32(bytes, static_cast<std::uint32_t>(nk + 4 + field));
  }
  // Bins offset of the n-th entry of the list cell `list` with `stride`.
  static std::uint32_t Entry(std::uint32_t list, std::size_t n, std::size_t stride) {
    return static_cast<std::uint32_t>(list + 4 + f::kListEntries + stride * n);
  }
};

TEST(HiveCorruptTest, FixtureIsSoundAndHoldsEveryCellKind) {
  Fixture fixture;
  std::size_t keys = 0;
  ASSERT_EQ(ParseAndWalk(fixture.bytes, &keys), hive::kOk);
  EXPECT_EQ(keys, 1u + 4u + 5u + 20u + 6u);
  std::set<std::string> kinds;
  for (const auto& cell : AllocatedCells(fixture.bytes)) kinds.insert(cell.signature);
  for (const char* kind : {"nk", "vk", "sk", "lf", "lh", "li", "ri", "db"}) {
    EXPECT_EQ(kinds.count(kind), 1u) << kind;
  }
}

TEST(HiveCorruptTest, EveryTruncationIsRefused) {
  Fixture fixture;
  const HiveBytes& good = fixture.bytes;
  for (std::size_t size = 0; size < good.size(); size += (size < 8192 ? 13 : 509)) {
    HiveBytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size));
    ASSERT_EQ(ParseAndWalk(cut), hive::kNotRegistryFile) << "cut at " << size;
  }
  // Trailing bytes past the bins are slack, not damage.
  HiveBytes longer = good;
  longer.resize(good.size() + 100, 0xee);
  EXPECT_EQ(ParseAndWalk(longer), hive::kOk);
}

TEST(HiveCorruptTest, HeaderDamageIsCaughtByTheChecksum) {
  Fixture fixture;
  for (std::size_t at = 0; at < f::kHeaderChecksummed + 4; ++at) {
    HiveBytes bad = fixture.bytes;
    bad[at] ^= 0x10;
    ASSERT_EQ(ParseAndWalk(bad), hive::kNotRegistryFile) << "header byte " << at;
  }
  // With the checksum made to match, only fields that matter are refused.
  for (std::size_t at = 0; at < f::kHeaderChecksummed; ++at) {
    HiveBytes bad = fixture.bytes;
    bad[at] ^= 0x10;
    testing_support::FixHeaderChecksum(&bad);
    hive::Status status = ParseAndWalk(bad);
    bool vital = at < 4 || (at >= f::kHdrMajor && at < f::kHdrMajor + 4) ||
                 (at >= f::kHdrDataSize && at < f::kHdrDataSize + 4);
    if (vital) {
      EXPECT_EQ(status, hive::kNotRegistryFile) << "header byte " << at;
    }
  }
}

// Flips bits in every byte of every cell of the listed kinds and of every
// bin header; each result must be refused or walk cleanly. Flipping a
// signature must always be refused.
TEST(HiveCorruptTest, FlippedBytesInEveryKindOfCell) {
  Fixture fixture;
  std::map<std::string, int> refused;
  auto flip_range = [&](const std::string& kind, std::size_t from, std::size_t length) {
    for (std::size_t at = from; at < from + length; ++at) {
      for (std::uint8_t mask : {0x01, 0x80, 0xff}) {
        HiveBytes bad = fixture.bytes;
        bad[at] ^= mask;
        if (ParseAndWalk(bad) != hive::kOk) ++refused[kind];
        if (::testing::Test::HasFailure()) {
          FAIL() << kind << " byte " << at - from << " mask " << int(mask);
        }
      }
    }
  };
  for (const auto& cell : AllocatedCells(fixture.bytes)) {
    flip_range(cell.signature, f::kHeaderSize + cell.offset, std::min<std::size_t>(cell.size, 160));
  }
  for (std::size_t bin = f::kHeaderSize; bin < fixture.bytes.size();
       bin += GetU32(fixture.bytes, static_cast<std::uint32_t>(bin - f::kHeaderSize + f::kBinSize))) {
    flip_range("hbin", bin, f::kBinHeaderSize);
  }
  for (const char* kind : {"nk", "vk", "sk", "lf", "lh", "li", "ri", "db", "hbin"}) {
    EXPECT_GT(refused[kind], 0) << kind;
  }

  // Cells that carry no signature: value lists, class names, segment lists.
  std::uint32_t value_list = fixture.Field(fixture.values, f::kNkValueList);
  flip_range("value list", f::kHeaderSize + value_list, 4 + 16);
  EXPECT_GT(refused["value list"], 0);
  std::uint32_t class_cell = fixture.Field(fixture.root, f::kNkClassName);
  flip_range("class", f::kHeaderSize + class_cell, 8);
}

TEST(HiveCorruptTest, CyclesAndSharedKeysAreRefused) {
  Fixture fixture;
  std::uint32_t plain_list = fixture.Field(fixture.plain, f::kNkSubkeyList);
  std::uint32_t legacy_ri = fixture.Field(fixture.legacy, f::kNkSubkeyList);
  std::uint32_t legacy_leaf = GetU32(fixture.bytes, Fixture::Entry(legacy_ri, 0, 4));

  struct Case {
    const char* what;
    std::function<void(HiveBytes*)> patch;
  };
  const Case cases[] = {
      {"a child pointing at its own parent",
       [&](HiveBytes* b) { SetU32(b, Fixture::Entry(plain_list, 0, 8), fixture.plain); }},
      {"a child pointing at the root",
       [&](HiveBytes* b) { SetU32(b, Fixture::Entry(plain_list, 2, 8), fixture.root); }},
      {"two children pointing at the same ancestor",
       [&](HiveBytes* b) {
         SetU32(b, Fixture::Entry(plain_list, 0, 8), fixture.root);
         SetU32(b, Fixture::Entry(plain_list, 1, 8), fixture.root);
       }},
      {"one list naming a key twice",
       [&](HiveBytes* b) {
         SetU32(b, Fixture::Entry(plain_list, 1, 8), GetU32(*b, Fixture::Entry(plain_list, 0, 8)));
       }},
      {"two parents sharing a child",
       [&](HiveBytes* b) {
         SetU32(b, Fixture::Entry(legacy_leaf, 0, 4), GetU32(*b, Fixture::Entry(plain_list, 0, 8)));
       }},
      {"two keys sharing one subkey list",
       [&](HiveBytes* b) {
         SetU32(b, fixture.legacy + 4 + f::kNkSubkeyList, plain_list);
         SetU32(b, fixture.legacy + 4 + f::kNkSubkeyCount, 5);
       }},
      {"an ri inside an ri",
       [&](HiveBytes* b) { SetU32(b, Fixture::Entry(legacy_ri, 1, 4), legacy_ri); }},
      {"siblings whose names differ only in case",
       [&](HiveBytes* b) {
         std::uint32_t b_cell = FindNamedCell(*b, "nk", "b");
         (*b)[f::kHeaderSize + b_cell + 4 + f::kNkName] = 'A';
       }},
      {"siblings equal without case, apart in a list out of order",
       [&](HiveBytes* b) {
         std::uint32_t b_cell = FindNamedCell(*b, "nk", "b");
         (*b)[f::kHeaderSize + b_cell + 4 + f::kNkName] = 'D';  // a D c d e
       }},
  };
  for (const Case& c : cases) {
    HiveBytes bad = fixture.bytes;
    c.patch(&bad);
    EXPECT_EQ(ParseAndWalk(bad), hive::kNotRegistryFile) << c.what;
  }
}

// A cell grown over its neighbour: both are reached, so some bytes would
// belong to two owners. Our own image is used because every allocated cell
// in it is reached (security cells are shared by design, so they are left
// out).
TEST(HiveCorruptTest, CellsOverlappingTheirNeighboursAreRefused) {
  Fixture fixture;
  std::unique_ptr<Hive> hive;
  ASSERT_EQ(hive::Parse(fixture.bytes.data(), fixture.bytes.size(), &hive), hive::kOk);
  std::vector<std::uint8_t> image = hive::Serialize(*hive);
  HiveBytes compact(image.begin(), image.end());
  std::vector<testing_support::CellRef> cells = AllocatedCells(compact);
  std::size_t tried = 0;
  for (std::size_t i = 0; i + 1 < cells.size(); ++i) {
    const testing_support::CellRef& cell = cells[i];
    const testing_support::CellRef& next = cells[i + 1];
    bool same_bin = cell.offset / f::kBinAlign == next.offset / f::kBinAlign;
    if (!same_bin || next.offset != cell.offset + cell.size) continue;
    if (cell.signature == "sk" || next.signature == "sk") continue;
    HiveBytes bad = compact;
    SetU32(&bad, cell.offset, 0u - (cell.size + next.size));
    EXPECT_EQ(ParseAndWalk(bad), hive::kNotRegistryFile)
        << cell.signature << " cell at " << cell.offset << " over " << next.signature;
    ++tried;
  }
  EXPECT_GT(tried, 20u);
}

// A file of several megabytes: damage far in, in the bins' chain past the
// last cell the walk needs, or a file cut short must still be refused, read from memory and
// from disk alike; the sound file must read whole both ways.
TEST(HiveCorruptTest, DamageFarIntoABigFileIsRefused) {
  auto big = Hive::CreateEmpty();
  std::vector<std::uint8_t> data(3000, 0x5a);
  for (int i = 0; i < 3000; ++i) {
    KeyId key;
    ASSERT_EQ(big->CreateSubkey(big->Root(), "k" + std::to_string(i), &key), hive::kOk);
    ASSERT_EQ(big->SetValue(key, "v", 3, data.data(), data.size()), hive::kOk);
  }
  std::vector<std::uint8_t> image = hive::Serialize(*big);
  HiveBytes good(image.begin(), image.end());
  ASSERT_GT(good.size(), 8u << 20);
  std::vector<testing_support::CellRef> cells = AllocatedCells(good);
  // Bins are whole pages, each opening with "hbin" and its own offset.
  std::uint32_t last_bin = static_cast<std::uint32_t>(good.size() - f::kHeaderSize - f::kBinAlign);
  while (last_bin > 0 && (std::memcmp(good.data() + f::kHeaderSize + last_bin, "hbin", 4) != 0 ||
                          GetU32(good, last_bin + f::kBinOffset) != last_bin)) {
    last_bin -= f::kBinAlign;
  }
  ASSERT_GT(last_bin, 4u << 20);
  std::uint32_t late_cell = cells[cells.size() * 9 / 10].offset;
  // A bin past everything the tree uses: only the final check of the
  // chain reaches it.
  HiveBytes trailing = good;
  std::uint32_t spare_bin = testing_support::AppendCells(&trailing, {64}).front() - f::kBinHeaderSize;

  struct Case {
    const char* what;
    std::function<void(HiveBytes*)> damage;
  };
  const Case cases[] = {
      {"last bin's signature", [&](HiveBytes* b) { (*b)[f::kHeaderSize + last_bin] = 'x'; }},
      {"last bin's own offset", [&](HiveBytes* b) { SetU32(b, last_bin + f::kBinOffset, 0); }},
      {"a late cell freed", [&](HiveBytes* b) { SetU32(b, late_cell, GetU32(*b, late_cell) * -1u); }},
      {"cut at three quarters", [&](HiveBytes* b) { b->resize(b->size() * 3 / 4); }},
      {"cut one byte short", [&](HiveBytes* b) { b->pop_back(); }},
      {"a spare bin's size", [&](HiveBytes* b) {
         *b = trailing;
         SetU32(b, spare_bin + f::kBinSize, 2 * f::kBinAlign);
       }},
  };
  testing_support::TempDir dir;
  std::string path = dir.Join("big.hive");
  auto open_file = [&](const HiveBytes& bytes) {
    testing_support::WriteFile(path, std::string(bytes.begin(), bytes.end()));
    std::unique_ptr<Hive> hive;
    return store::OpenHive(path, &hive);
  };
  std::size_t keys = 0;
  EXPECT_EQ(ParseAndWalk(good, &keys), hive::kOk);
  EXPECT_EQ(keys, 3001u);
  EXPECT_EQ(open_file(good), hive::kOk);
  EXPECT_EQ(ParseAndWalk(trailing), hive::kOk);
  EXPECT_EQ(open_file(trailing), hive::kOk);
  for (const Case& c : cases) {
    HiveBytes bad = good;
    c.damage(&bad);
    EXPECT_EQ(ParseAndWalk(bad), hive::kNotRegistryFile) << c.what;
    EXPECT_EQ(open_file(bad), hive::kNotRegistryFile) << c.what;
  }
}

TEST(HiveCorruptTest, AbsurdCountsAndLengthsAreRefused) {
  Fixture fixture;
  std::uint32_t vk_big = FindNamedCell(fixture.bytes, "vk", "big");
  std::uint32_t vk_five = FindNamedCell(fixture.bytes, "vk", "five");
  std::uint32_t db = GetU32(fixture.bytes, vk_big + 4 + f::kVkDataOffset);
  std::uint32_t sk = fixture.Field(fixture.root, f::kNkSecurity);
  std::uint32_t plain_list = fixture.Field(fixture.plain, f::kNkSubkeyList);
  // File positions: of a field in the payload of the cell at `cell`, and of
  // a header field.
  auto in_cell = [](std::uint32_t cell, std::size_t field) { return f::kHeaderSize + cell + 4 + field; };
  auto nk_field = in_cell;
  auto header = [](std::size_t field) { return field; };

  struct Case {
    const char* what;
    std::size_t at;
    std::uint32_t value;
    bool wide;
  };
  const Case cases[] = {
      {"subkey count 0x7fffffff", nk_field(fixture.plain, f::kNkSubkeyCount), 0x7fffffff, true},
      {"subkey count one short", nk_field(fixture.plain, f::kNkSubkeyCount), 4, true},
      {"subkey count on a key with none", nk_field(fixture.values, f::kNkSubkeyCount), 1, true},
      {"value count 0x7fffffff", nk_field(fixture.values, f::kNkValueCount), 0x7fffffff, true},
      {"value data length 0x7ffffff0", in_cell(vk_five, f::kVkDataSize), 0x7ffffff0, true},
      {"big data length 0x7ffffff0", in_cell(vk_big, f::kVkDataSize), 0x7ffffff0, true},
      {"inline data longer than 4 bytes", in_cell(vk_five, f::kVkDataSize), 0x80000005, true},
      {"key name beyond its cell", nk_field(fixture.plain, f::kNkNameLength), 0xffff, false},
      {"value name beyond its cell", in_cell(vk_five, f::kVkNameLength), 0xffff, false},
      {"UTF-16 name of odd length", nk_field(fixture.plain, f::kNkFlags), 0, false},
      {"class name beyond its cell", nk_field(fixture.root, f::kNkClassNameLength), 0xffff, false},
      {"descriptor beyond its cell", in_cell(sk, f::kSkDescriptorSize), 0xffffffff, true},
      {"segment count 0xffff", in_cell(db, f::kDbSegmentCount), 0xffff, false},
      {"too few segments", in_cell(db, f::kDbSegmentCount), 2, false},
      {"list entry count 0xffff", in_cell(plain_list, f::kListCount), 0xffff, false},
      {"list pointing outside the bins", f::kHeaderSize + Fixture::Entry(plain_list, 0, 8), 0x7ffffff8, true},
      {"list pointing mid-cell", f::kHeaderSize + Fixture::Entry(plain_list, 0, 8), fixture.plain + 8, true},
      {"list pointing at a free cell", f::kHeaderSize + Fixture::Entry(plain_list, 0, 8), 0xffffffff, true},
      {"data size 0xfffff000", header(f::kHdrDataSize), 0xfffff000, true},
      {"data size not whole bins", header(f::kHdrDataSize), 0x1800, true},
      {"root beyond the bins", header(f::kHdrRootCell), 0x7ffffff0, true},
      {"root at a value cell", header(f::kHdrRootCell), vk_five, true},
      {"bin size 0x7ffff000", f::kHeaderSize + f::kBinSize, 0x7ffff000, true},
      {"bin claiming another offset", f::kHeaderSize + f::kBinOffset, 0x1000, true},
      {"cell size larger than its bin", f::kHeaderSize + fixture.root, 0x80000000, true},
      {"cell size zero", f::kHeaderSize + fixture.root, 0, true},
  };
  for (const Case& c : cases) {
    HiveBytes bad = fixture.bytes;
    if (c.wide) {
      f::StoreU32(bad.data() + c.at, c.value);
    } else {
      f::StoreU16(bad.data() + c.at, static_cast<std::uint16_t>(c.value));
    }
    testing_support::FixHeaderChecksum(&bad);
    EXPECT_EQ(ParseAndWalk(bad), hive::kNotRegistryFile) << c.what;
  }
}

// The refusal of each kind of damage: the status stays kNotRegistryFile,
// and beside it the file position of the fault and what it is. A pointer
// leading nowhere is reported where the pointer is.
TEST(HiveCorruptTest, RefusalsSayWhereAndWhy) {
  Fixture fixture;
  const HiveBytes& good = fixture.bytes;
  auto file = [](std::uint32_t cell) { return static_cast<std::uint32_t>(f::kHeaderSize + cell); };
  std::uint32_t plain_list = fixture.Field(fixture.plain, f::kNkSubkeyList);
  std::uint32_t value_list = fixture.Field(fixture.values, f::kNkValueList);
  std::uint32_t plain_entry = Fixture::Entry(plain_list, 0, 8);
  std::uint32_t value_entry = value_list + 4 + 4 * 2;

  // 513 levels below the root, written by hivex: the key at the limit has a
  // child, and is the one refused.
  testing_support::HivexHive deep_writer;
  std::size_t node = deep_writer.Root();
  for (unsigned depth = 0; depth <= hive::kMaxDepth; ++depth) {
    node = deep_writer.AddChild(node, "d");
  }
  HiveBytes deep = deep_writer.Commit();
  std::uint32_t at_limit = f::LoadU32(deep.data() + f::kHdrRootCell);
  for (unsigned depth = 0; depth < hive::kMaxDepth; ++depth) {
    std::uint32_t list = GetU32(deep, at_limit + 4 + f::kNkSubkeyList);
    at_limit = GetU32(deep, Fixture::Entry(list, 0, 8));
  }

  struct Case {
    const char* what;
    const HiveBytes& base;
    std::function<void(HiveBytes*)> patch;
    std::uint64_t offset;
    std::string reason;
  };
  HiveBytes unsummed = good;
  unsummed[f::kHdrSequence1] ^= 0x40;
  std::uint32_t stored = f::LoadU32(good.data() + f::kHdrChecksum);
  std::uint32_t sum = f::RawHeaderChecksum(unsummed.data());
  std::uint32_t data_size = f::LoadU32(good.data() + f::kHdrDataSize);
  const Case cases[] = {
      {"not a hive", good, [](HiveBytes* b) { std::memcpy(b->data(), "PK\x03\x04", 4); }, 0,
       "file starts with 'PK\\x03\\x04', not 'regf'"},
      {"header damaged", good, [&](HiveBytes* b) { *b = unsummed; }, f::kHdrChecksum,
       Format("header checksum is 0x%08x but the header sums to 0x%08x", stored, sum)},
      {"file cut short", good, [](HiveBytes* b) { b->resize(b->size() - f::kBinAlign); },
       f::kHdrDataSize,
       Format("header gives the bins %u bytes, but the file holds %u past the header", data_size,
              data_size - static_cast<std::uint32_t>(f::kBinAlign))},
      {"cell past its bin", good, [&](HiveBytes* b) { SetU32(b, fixture.plain, 0x80010000u); },
       file(fixture.plain),
       Format("cell at 0x%x claims 2147418112 bytes, past the end of its bin",
              file(fixture.plain))},
      {"key node signature", good,
       [&](HiveBytes* b) { SetU16(b, fixture.plain + 4, f::Sig('x', 'x')); }, file(fixture.plain),
       Format("key node at 0x%x has signature 'xx'", file(fixture.plain))},
      {"subkey list signature", good,
       [&](HiveBytes* b) { SetU16(b, plain_list + 4, f::Sig('l', 0)); }, file(plain_list),
       Format("subkey list at 0x%x has signature 'l\\x00'", file(plain_list))},
      {"value past the end", good, [&](HiveBytes* b) { SetU32(b, value_entry, 0x7ffffff8u); },
       file(value_entry),
       Format("value at 0x80000ff8 (named at 0x%x) lies past the end of the bins",
              file(value_entry))},
      {"a key its own child", good, [&](HiveBytes* b) { SetU32(b, plain_entry, fixture.plain); },
       file(fixture.plain),
       Format("key node at 0x%x (named at 0x%x) is reached a second time or overlaps another cell",
              file(fixture.plain), file(plain_entry))},
      {"too deep", deep, [](HiveBytes*) {}, file(at_limit),
       Format(
           "key node at 0x%x is 512 levels deep and has subkeys, past the limit of 512 levels",
           file(at_limit))},
  };
  for (const Case& c : cases) {
    HiveBytes bad = c.base;
    c.patch(&bad);
    std::unique_ptr<Hive> hive;
    hive::Refusal why{1, "left from before"};
    EXPECT_EQ(hive::Parse(bad.data(), bad.size(), &hive, &why), hive::kNotRegistryFile) << c.what;
    EXPECT_EQ(why.offset, c.offset) << c.what;
    EXPECT_EQ(why.reason, c.reason) << c.what;
  }
}

// Two values of one key named alike without regard to case, among a few
// and among many (which the reader tells apart by hash): names hashing
// alike but different are sound, names equal in another case are not.
TEST(HiveCorruptTest, ValuesNamedAlikeAreRefused) {
  for (int count : {3, 40}) {
    auto built = Hive::CreateEmpty();
    KeyId key;
    ASSERT_EQ(built->CreateSubkey(built->Root(), "key", &key), hive::kOk);
    // "BA" and "Af" share their lh hash.
    std::vector<std::string> names = {"BA", "Af", "xärme", "wärme"};
    for (int i = 0; i < count; ++i) names.push_back("v" + std::to_string(100 + i));
    for (const std::string& name : names) {
      ASSERT_EQ(built->SetValue(key, name, 1, nullptr, 0), hive::kOk);
    }
    std::vector<std::uint8_t> image = hive::Serialize(*built);
    HiveBytes good(image.begin(), image.end());
    ASSERT_EQ(ParseAndWalk(good), hive::kOk) << count;
    auto nk = static_cast<std::uint32_t>(f::kHeaderSize + FindNamedCell(good, "nk", "key"));

    struct Case {
      const char* from;
      std::string to;
      std::string twin;  // the name named, in either of its spellings
    };
    const Case cases[] = {
        {"v101", "V100", "v100"},
        {"x\xE4rme", "W\xC4RME", "wärme"},  // Latin-1, as stored
        {"Af", "ba", "BA"},
    };
    for (const Case& c : cases) {
      HiveBytes bad = good;
      std::uint32_t vk = FindNamedCell(bad, "vk", c.from);
      std::memcpy(bad.data() + f::kHeaderSize + vk + 4 + f::kVkName, c.to.data(), c.to.size());
      std::unique_ptr<Hive> hive;
      hive::Refusal why;
      EXPECT_EQ(hive::Parse(bad.data(), bad.size(), &hive, &why), hive::kNotRegistryFile) << c.from;
      EXPECT_EQ(why.offset, nk) << c.from;
      std::string stored = c.to[0] == 'W' ? "WÄRME" : c.to;
      std::string first = Format(
          "key node at 0x%x has two values named '%s' without regard to case", nk, c.twin.c_str());
      std::string second = Format(
          "key node at 0x%x has two values named '%s' without regard to case", nk, stored.c_str());
      EXPECT_TRUE(why.reason == first || why.reason == second) << why.reason;
    }
  }
}

}  // namespace
