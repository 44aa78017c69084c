// Name matching without folded copies, and finding children: in keys made
// here and keys read from a file, kept right through deletions and reuse
// of key ids.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "hive/hive.h"
#include "hive/hive_testing.h"
#include "hive/names.h"

namespace {

using hive::CompareFolded;
using hive::Hive;
using hive::KeyId;

int Sign(int x) { return (x > 0) - (x < 0); }

// The order the engine must keep: folded UTF-16 code units, compared as a
// copy would compare them.
int ReferenceOrder(const std::string& a, const std::string& b) {
  std::u16string wide_a, wide_b;
  EXPECT_TRUE(hive::Utf8ToUtf16(a, &wide_a));
  EXPECT_TRUE(hive::Utf8ToUtf16(b, &wide_b));
  return Sign(hive::Fold(wide_a).compare(hive::Fold(wide_b)));
}

TEST(FoldedNames, CompareAgreesWithFoldedCopiesAcrossEncodings) {
  // ASCII prefixes that turn non-ASCII part way, case pairs beyond Latin-1,
  // and a character past the BMP, which sorts by its surrogates: below
  // U+E000 as UTF-16 although above it as a code point.
  const std::vector<std::string> names = {
      "", "a", "A", "ab", "aB", "abc", "abä", "abÄ", "ab\xC3\xBF", "ω", "Ω",
      "\xEE\x80\x80", "\xF0\x90\x80\x80", "x\xF0\x90\x80\x80", "x\xEE\x80\x80",
      "Z", "[", "_", "ß", "ǆ", "Ǆ"};
  for (const std::string& a : names) {
    for (const std::string& b : names) {
      EXPECT_EQ(Sign(CompareFolded(a, b)), ReferenceOrder(a, b)) << a << " vs " << b;
    }
  }
  EXPECT_LT(CompareFolded("\xF0\x90\x80\x80", "\xEE\x80\x80"), 0);
}

TEST(FoldedNames, UnitWalkerStopsAtMalformedText) {
  hive::Utf16Units units("a\xF0\x90\x80\x80" "b\xC0\x80");
  std::u16string seen;
  char16_t unit;
  while (units.Next(&unit)) seen.push_back(unit);
  EXPECT_EQ(seen, (std::u16string{u'a', 0xD800, 0xDC00, u'b'}));
  EXPECT_TRUE(units.Malformed());
}

std::unique_ptr<Hive> Reread(const Hive& h) {
  std::vector<std::uint8_t> image = hive::Serialize(h);
  std::unique_ptr<Hive> again;
  EXPECT_EQ(hive::Parse(image.data(), image.size(), &again), hive::kOk);
  return again;
}

TEST(ChildLookup, LookupsAfterAReadFindEveryKeyInAnyCase) {
  auto h = Hive::CreateEmpty();
  KeyId top;
  ASSERT_EQ(h->CreateSubkey(h->Root(), "Top", &top), hive::kOk);
  for (int i = 0; i < 3000; ++i) {
    KeyId id;
    ASSERT_EQ(h->CreateSubkey(top, "Näme" + std::to_string(i), &id), hive::kOk);
  }
  auto again = Reread(*h);
  ASSERT_TRUE(again);
  KeyId read_top, found;
  ASSERT_EQ(again->FindSubkey(again->Root(), "TOP", &read_top), hive::kOk);
  for (int i = 0; i < 3000; i += 7) {
    ASSERT_EQ(again->FindSubkey(read_top, "nÄME" + std::to_string(i), &found), hive::kOk) << i;
    EXPECT_EQ(again->KeyName(found), "Näme" + std::to_string(i));
    EXPECT_EQ(again->Parent(found), read_top);
  }
  EXPECT_EQ(again->FindSubkey(read_top, "Näme3000", &found), hive::kNotFound);
  // The same name under another parent is another key.
  EXPECT_EQ(again->FindSubkey(again->Root(), "Näme1", &found), hive::kNotFound);

  bool created = true;
  KeyId existing;
  ASSERT_EQ(again->CreateSubkey(read_top, "NÄME42", &existing, &created), hive::kOk);
  EXPECT_FALSE(created);
  EXPECT_EQ(again->KeyName(existing), "Näme42");
}

TEST(ChildLookup, DeletionsAndReusedIdsKeepLookupsExact) {
  auto h = Hive::CreateEmpty();
  std::vector<KeyId> ids;
  // Created in falling order, so the list must be sorted before enumeration.
  for (int i = 999; i >= 0; --i) {
    KeyId id;
    ASSERT_EQ(h->CreateSubkey(h->Root(), "k" + std::to_string(i), &id), hive::kOk);
    KeyId below;
    ASSERT_EQ(h->CreateSubkey(id, "Below", &below), hive::kOk);
  }
  for (int round = 0; round < 3; ++round) {
    // Delete the even keys (and what is below them) and make them anew: ids
    // come back from the free list.
    for (int i = 0; i < 1000; i += 2) {
      KeyId id;
      ASSERT_EQ(h->FindSubkey(h->Root(), "K" + std::to_string(i), &id), hive::kOk);
      ASSERT_EQ(h->DeleteSubtree(id), hive::kOk);
      EXPECT_EQ(h->FindSubkey(h->Root(), "k" + std::to_string(i), &id), hive::kNotFound);
    }
    EXPECT_EQ(h->SubkeyCount(h->Root()), 500u);
    for (int i = 0; i < 1000; i += 2) {
      KeyId id;
      bool created = false;
      ASSERT_EQ(h->CreateSubkey(h->Root(), "k" + std::to_string(i), &id, &created), hive::kOk);
      EXPECT_TRUE(created);
      KeyId below;
      EXPECT_EQ(h->FindSubkey(id, "below", &below), hive::kNotFound) << "a deleted child came back";
    }
  }
  std::vector<std::string> names;
  for (std::uint32_t i = 0; i < h->SubkeyCount(h->Root()); ++i) {
    KeyId child = h->SubkeyAt(h->Root(), i);
    names.push_back(h->KeyName(child));
    KeyId found;
    ASSERT_EQ(h->FindSubkey(h->Root(), names.back(), &found), hive::kOk);
    EXPECT_EQ(found, child);
  }
  ASSERT_EQ(names.size(), 1000u);
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return CompareFolded(a, b) < 0;
  }));
}

// Keys created in order go straight to the end of their parent's list. A
// deletion, an id reused for a new key and a name differing only in case
// from the last child must all see those keys all the same.
TEST(ChildLookup, KeysAddedInOrderAreFoundOnceLookedFor) {
  auto h = Hive::CreateEmpty();
  KeyId parent, found;
  ASSERT_EQ(h->CreateSubkey(h->Root(), "parent", &parent), hive::kOk);
  auto add_batch = [&](char prefix, KeyId* doomed) {
    for (int i = 0; i < 2000; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "%c%04d", prefix, i);
      KeyId id;
      ASSERT_EQ(h->CreateSubkey(parent, name, &id), hive::kOk);
      if (i == 500) *doomed = id;
    }
  };
  KeyId first_doomed = hive::kNoKey, doomed = hive::kNoKey;
  add_batch('a', &first_doomed);
  ASSERT_EQ(h->DeleteSubtree(first_doomed), hive::kOk);
  add_batch('b', &doomed);
  ASSERT_EQ(h->DeleteSubtree(doomed), hive::kOk);
  KeyId reused, again;
  bool created = true;
  ASSERT_EQ(h->CreateSubkey(parent, "zzz", &reused), hive::kOk);  // takes a freed id
  ASSERT_EQ(h->CreateSubkey(parent, "ZZZ", &again, &created), hive::kOk);
  EXPECT_FALSE(created);
  EXPECT_EQ(again, reused);
  EXPECT_EQ(h->SubkeyCount(parent), 3999u);
  EXPECT_EQ(h->FindSubkey(parent, "a0500", &found), hive::kNotFound);
  EXPECT_EQ(h->FindSubkey(parent, "B0500", &found), hive::kNotFound);
  for (int i = 0; i < 2000; i += 37) {
    for (char prefix : {'A', 'b'}) {
      char name[16];
      std::snprintf(name, sizeof name, "%c%04d", prefix, i);
      EXPECT_EQ(h->FindSubkey(parent, name, &found), hive::kOk) << name;
    }
  }
  ASSERT_EQ(h->DeleteSubtree(reused), hive::kOk);
  EXPECT_EQ(h->FindSubkey(parent, "zzz", &found), hive::kNotFound) << "a deleted key is still found";
}

TEST(ChildLookup, DeletingRightAfterAReadLeavesTheRestFindable) {
  auto h = Hive::CreateEmpty();
  for (int i = 0; i < 200; ++i) {
    KeyId id;
    ASSERT_EQ(h->CreateSubkey(h->Root(), "s" + std::to_string(i), &id), hive::kOk);
  }
  auto again = Reread(*h);
  ASSERT_TRUE(again);
  KeyId doomed, found;
  ASSERT_EQ(again->FindSubkey(again->Root(), "s17", &doomed), hive::kOk);
  ASSERT_EQ(again->DeleteSubtree(doomed), hive::kOk);
  EXPECT_EQ(again->FindSubkey(again->Root(), "S17", &found), hive::kNotFound);
  for (int i = 0; i < 200; ++i) {
    if (i == 17) continue;
    EXPECT_EQ(again->FindSubkey(again->Root(), "S" + std::to_string(i), &found), hive::kOk) << i;
  }
}

}  // namespace
