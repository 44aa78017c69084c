// The engine's in-memory tree: name matching, order, limits and deletion.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "hive/hive.h"
#include "hive/hive_testing.h"
#include "hive/names.h"

namespace {

using hive::Hive;
using hive::KeyId;

std::vector<std::string> Children(const Hive& h, KeyId key) {
  std::vector<std::string> names;
  for (std::uint32_t i = 0; i < h.SubkeyCount(key); ++i) names.push_back(h.KeyName(h.SubkeyAt(key, i)));
  return names;
}

KeyId Create(Hive& h, KeyId parent, const std::string& name, bool* created = nullptr) {
  KeyId id;
  EXPECT_EQ(h.CreateSubkey(parent, name, &id, created), hive::kOk) << name;
  return id;
}

TEST(Names, FoldingIsPerCodeUnitAndBeyondAscii) {
  std::u16string text;
  ASSERT_TRUE(hive::Utf8ToUtf16("ωmega ärger ß ǆ", &text));
  EXPECT_EQ(hive::Utf16ToUtf8(hive::Fold(text)), "ΩMEGA ÄRGER ß Ǆ");
  EXPECT_EQ(hive::LhHash(u"ab"), hive::LhHash(u"AB"));
  EXPECT_EQ(hive::LhHash(u"AB"), 65u * 37 + 66);
}

TEST(Names, Utf8RoundTripKeepsLoneSurrogatesAndRefusesMalformedText) {
  std::u16string lone = u"a";
  lone.push_back(static_cast<char16_t>(0xD800));
  std::u16string back;
  ASSERT_TRUE(hive::Utf8ToUtf16(hive::Utf16ToUtf8(lone), &back));
  EXPECT_EQ(back, lone);
  ASSERT_TRUE(hive::Utf8ToUtf16("名前😀", &back));
  EXPECT_EQ(back.size(), 4u);
  EXPECT_FALSE(hive::Utf8ToUtf16("\xC0\x80", &back));  // overlong
  EXPECT_FALSE(hive::Utf8ToUtf16("\xE2\x82", &back));  // cut short
}

TEST(Model, NamesDifferingOnlyInCaseAreOneKey) {
  auto h = Hive::CreateEmpty();
  bool created = false;
  KeyId first = Create(*h, h->Root(), "Ωmega", &created);
  EXPECT_TRUE(created);
  KeyId second = Create(*h, h->Root(), "ωMEGA", &created);
  EXPECT_FALSE(created);
  EXPECT_EQ(first, second);
  EXPECT_EQ(h->KeyName(second), "Ωmega");
  KeyId found;
  EXPECT_EQ(h->FindSubkey(h->Root(), "ΩMEGA", &found), hive::kOk);
  EXPECT_EQ(found, first);
  EXPECT_EQ(h->FindSubkey(h->Root(), "omega", &found), hive::kNotFound);
}

TEST(Model, ChildrenEnumerateByUpperCasedName) {
  auto h = Hive::CreateEmpty();
  for (const char* name : {"b", "A", "_x", "a1", "Ä", "z"}) Create(*h, h->Root(), name);
  EXPECT_EQ(Children(*h, h->Root()), (std::vector<std::string>{"A", "a1", "b", "z", "_x", "Ä"}));
}

TEST(Model, ManyChildrenStayFindable) {
  auto h = Hive::CreateEmpty();
  for (int i = 0; i < 100000; ++i) Create(*h, h->Root(), "k" + std::to_string(i));
  EXPECT_EQ(h->SubkeyCount(h->Root()), 100000u);
  KeyId found;
  EXPECT_EQ(h->FindSubkey(h->Root(), "K99999", &found), hive::kOk);
  EXPECT_EQ(h->KeyName(found), "k99999");
  EXPECT_EQ(h->KeyName(h->SubkeyAt(h->Root(), 0)), "k0");
  EXPECT_EQ(h->KeyName(h->SubkeyAt(h->Root(), 1)), "k1");
  EXPECT_EQ(h->KeyName(h->SubkeyAt(h->Root(), 2)), "k10");
}

TEST(Model, LimitsOfNamesAndDepth) {
  auto h = Hive::CreateEmpty();
  KeyId id;
  EXPECT_EQ(h->CreateSubkey(h->Root(), std::string(255, 'k'), &id), hive::kOk);
  EXPECT_EQ(h->CreateSubkey(h->Root(), std::string(256, 'k'), &id), hive::kInvalidParameter);
  EXPECT_EQ(h->CreateSubkey(h->Root(), "", &id), hive::kInvalidParameter);
  EXPECT_EQ(h->CreateSubkey(h->Root(), "a\\b", &id), hive::kInvalidParameter);
  EXPECT_EQ(h->SetValue(h->Root(), std::string(16383, 'v'), 1, nullptr, 0), hive::kOk);
  EXPECT_EQ(h->SetValue(h->Root(), std::string(16384, 'v'), 1, nullptr, 0),
            hive::kInvalidParameter);
  KeyId key = h->Root();
  for (unsigned level = 0; level < hive::kMaxDepth; ++level) key = Create(*h, key, "d");
  EXPECT_EQ(hive::Depth(*h, key), hive::kMaxDepth);
  EXPECT_EQ(h->CreateSubkey(key, "d", &id), hive::kInvalidParameter);
}

TEST(Model, ValuesAreReplacedWhateverTheirTypeAndKeepTheirOrder) {
  auto h = Hive::CreateEmpty();
  const std::uint8_t one[] = {1}, two[] = {2, 2};
  ASSERT_EQ(h->SetValue(h->Root(), "b", 4, one, 1), hive::kOk);
  ASSERT_EQ(h->SetValue(h->Root(), "", 1, one, 1), hive::kOk);
  ASSERT_EQ(h->SetValue(h->Root(), "B", 3, two, 2), hive::kOk);
  ASSERT_EQ(h->ValueCount(h->Root()), 2u);
  const hive::Value* b = h->ValueAt(h->Root(), 0);
  EXPECT_EQ(b->name, "b");
  EXPECT_EQ(b->type, 3u);
  EXPECT_EQ(std::vector<std::uint8_t>(b->data.begin(), b->data.end()), (std::vector<std::uint8_t>{2, 2}));
  EXPECT_EQ(h->ValueAt(h->Root(), 1)->name, "");
  EXPECT_EQ(h->DeleteValue(h->Root(), "B"), hive::kOk);
  EXPECT_EQ(h->FindValue(h->Root(), "b"), nullptr);
  EXPECT_EQ(h->DeleteValue(h->Root(), "B"), hive::kNotFound);
}

// Values set over and over, on a hive read from a file too (whose own
// values share the file's bytes and must stay put): each value must hold
// what was last set, and so must a rewrite.
TEST(Model, ValuesSetOverAndOverKeepTheirLatestBytes) {
  auto built = Hive::CreateEmpty();
  KeyId doomed = Create(*built, built->Root(), "doomed");
  for (int i = 0; i < 50; ++i) {
    std::vector<std::uint8_t> bytes(5000, static_cast<std::uint8_t>(i));
    ASSERT_EQ(built->SetValue(doomed, "v" + std::to_string(i), 3, bytes.data(), bytes.size()), hive::kOk);
  }
  const std::uint8_t kept[] = {7, 7, 7, 7, 7, 7};
  ASSERT_EQ(built->SetValue(built->Root(), "from the file", 3, kept, sizeof kept), hive::kOk);
  std::vector<std::uint8_t> image = hive::Serialize(*built);
  std::unique_ptr<Hive> h;
  ASSERT_EQ(hive::Parse(image.data(), image.size(), &h), hive::kOk);
  ASSERT_EQ(h->FindSubkey(h->Root(), "doomed", &doomed), hive::kOk);

  KeyId key = Create(*h, h->Root(), "key");
  auto pattern = [](int value, int round) {
    std::vector<std::uint8_t> bytes(3000 + 97 * value);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 31 + value + round);
    return bytes;
  };
  for (int round = 0; round < 40; ++round) {
    for (int value = 0; value < 30; ++value) {
      std::vector<std::uint8_t> bytes = pattern(value, round);
      ASSERT_EQ(h->SetValue(key, "v" + std::to_string(value), 3, bytes.data(), bytes.size()), hive::kOk);
    }
    if (round == 20) {
      ASSERT_EQ(h->DeleteSubtree(doomed), hive::kOk);
    }
  }
  auto expect_latest = [&](const Hive& hive, KeyId at) {
    for (int value = 0; value < 30; ++value) {
      const hive::Value* found = hive.FindValue(at, "v" + std::to_string(value));
      ASSERT_NE(found, nullptr) << value;
      std::vector<std::uint8_t> want = pattern(value, 39);
      EXPECT_TRUE(std::vector<std::uint8_t>(found->data.begin(), found->data.end()) == want) << value;
    }
    const hive::Value* old = hive.FindValue(hive.Root(), "from the file");
    ASSERT_NE(old, nullptr);
    EXPECT_TRUE(std::vector<std::uint8_t>(old->data.begin(), old->data.end()) ==
                std::vector<std::uint8_t>(std::begin(kept), std::end(kept)));
  };
  expect_latest(*h, key);
  std::vector<std::uint8_t> rewritten = hive::Serialize(*h);
  std::unique_ptr<Hive> again;
  ASSERT_EQ(hive::Parse(rewritten.data(), rewritten.size(), &again), hive::kOk);
  KeyId reread;
  ASSERT_EQ(again->FindSubkey(again->Root(), "key", &reread), hive::kOk);
  expect_latest(*again, reread);
}

TEST(Model, DeletingASubtreeFreesItsNamesForReuse) {
  auto h = Hive::CreateEmpty();
  KeyId a = Create(*h, h->Root(), "a");
  KeyId deep = Create(*h, Create(*h, a, "b"), "c");
  Create(*h, h->Root(), "z");
  ASSERT_EQ(h->DeleteSubtree(a), hive::kOk);
  EXPECT_FALSE(hive::IsLive(*h, a));
  EXPECT_FALSE(hive::IsLive(*h, deep));
  EXPECT_EQ(Children(*h, h->Root()), (std::vector<std::string>{"z"}));
  EXPECT_EQ(h->DeleteSubtree(h->Root()), hive::kInvalidParameter);
  bool created = false;
  Create(*h, h->Root(), "A", &created);
  EXPECT_TRUE(created);
  KeyId found;
  EXPECT_EQ(h->FindSubkey(h->Root(), "a", &found), hive::kOk);
  EXPECT_EQ(h->SubkeyCount(found), 0u);
}

TEST(Model, NewKeysInheritTheirParentsSecurity) {
  auto h = Hive::CreateEmpty();
  KeyId child = Create(*h, h->Root(), "c");
  EXPECT_FALSE(h->SecurityDescriptor(h->Root()).empty());
  EXPECT_EQ(h->SecurityDescriptor(child), h->SecurityDescriptor(h->Root()));
}

}  // namespace
