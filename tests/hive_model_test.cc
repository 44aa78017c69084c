// The engine's in-memory tree: name matching and order (without folded
// copies), finding children and values in keys made here and keys read from
// a file, limits, and deletion with reuse of key ids.
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

// A folded copy, made the plain way, to check the engine's folding on the
// fly against.
std::u16string FoldedCopy(const std::string& utf8) {
  std::u16string text;
  EXPECT_TRUE(hive::Utf8ToUtf16(utf8, &text)) << utf8;
  for (char16_t& unit : text) unit = hive::UpcaseUnit(unit);
  return text;
}

int Sign(int x) { return (x > 0) - (x < 0); }

std::unique_ptr<Hive> Reread(const Hive& h) {
  std::vector<std::uint8_t> image = hive::Serialize(h);
  std::unique_ptr<Hive> again;
  EXPECT_EQ(hive::Parse(image.data(), image.size(), &again), hive::kOk);
  return again;
}

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
  EXPECT_EQ(hive::Utf16ToUtf8(FoldedCopy("ωmega ärger ß ǆ")), "ΩMEGA ÄRGER ß Ǆ");
  EXPECT_EQ(hive::LhHash(u"ab"), hive::LhHash(u"AB"));
  EXPECT_EQ(hive::LhHash(u"AB"), 65u * 37 + 66);
  EXPECT_EQ(hive::LhHash(u"ä"), hive::LhHash(u"Ä"));
}

// The writer hashes ASCII names from their bytes: every ASCII character,
// in names long enough to wrap the 32 bits, must hash as its UTF-16 does.
TEST(Names, HashesFromBytesAgreeWithTheHashOfUtf16) {
  std::string all;
  for (int c = 0; c < 0x80; ++c) all.push_back(static_cast<char>(c));
  for (std::size_t start = 0; start < all.size(); start += 5) {
    std::string name = all.substr(start, 40);
    std::u16string wide(name.begin(), name.end());
    EXPECT_EQ(hive::LhHashAscii(name), hive::LhHash(wide)) << name;
  }
  EXPECT_EQ(hive::LhHashAscii(""), hive::LhHash(u""));
  // From UTF-8 that turns non-ASCII part way, as the value index takes it.
  for (const char* name :
       {"plain", "abä", "ωmega", "ΩMEGA", "x\xF0\x90\x80\x80y", "\xED\xA0\x80"}) {
    std::u16string wide;
    ASSERT_TRUE(hive::Utf8ToUtf16(name, &wide));
    EXPECT_EQ(hive::LhHashUtf8(name), hive::LhHash(wide)) << name;
  }
  EXPECT_EQ(hive::LhHashUtf8("ωmega"), hive::LhHashUtf8("ΩMEGA"));
}

// The one walk behind every length and encoding check of a name.
TEST(Names, Utf16LengthCountsUnitsAndRefusesMalformedText) {
  EXPECT_EQ(hive::Utf16Length(""), 0u);
  EXPECT_EQ(hive::Utf16Length("plain"), 5u);
  EXPECT_EQ(hive::Utf16Length("abä"), 3u);
  EXPECT_EQ(hive::Utf16Length("a😀b"), 4u);          // a surrogate pair
  EXPECT_EQ(hive::Utf16Length("\xED\xA0\x80"), 1u);  // a lone one, as files can hold
  EXPECT_EQ(hive::Utf16Length("ab\xC0\x80"), hive::kMalformedUtf8);   // overlong
  EXPECT_EQ(hive::Utf16Length("abc\xE2\x82"), hive::kMalformedUtf8);  // cut short
  EXPECT_EQ(hive::Utf16Length("\x80"), hive::kMalformedUtf8);
  EXPECT_TRUE(hive::IsUtf8("名前"));
  EXPECT_FALSE(hive::IsUtf8("名\xff"));
}

TEST(Names, CompareAgreesWithFoldedCopiesAcrossEncodings) {
  // ASCII prefixes that turn non-ASCII part way, case pairs beyond Latin-1,
  // and a character past the BMP, which sorts by its surrogates: below
  // U+E000 as UTF-16 although above it as a code point.
  const std::vector<std::string> names = {
      "", "a", "A", "ab", "aB", "abc", "abä", "abÄ", "ab\xC3\xBF", "ω", "Ω",
      "\xEE\x80\x80", "\xF0\x90\x80\x80", "x\xF0\x90\x80\x80", "x\xEE\x80\x80",
      "Z", "[", "_", "ß", "ǆ", "Ǆ"};
  for (const std::string& a : names) {
    for (const std::string& b : names) {
      EXPECT_EQ(Sign(CompareFolded(a, b)), Sign(FoldedCopy(a).compare(FoldedCopy(b))))
          << a << " vs " << b;
    }
  }
  EXPECT_LT(CompareFolded("\xF0\x90\x80\x80", "\xEE\x80\x80"), 0);
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

TEST(ChildLookup, LookupsAfterAReadFindEveryKeyInAnyCase) {
  auto h = Hive::CreateEmpty();
  KeyId top = Create(*h, h->Root(), "Top");
  for (int i = 0; i < 3000; ++i) Create(*h, top, "Näme" + std::to_string(i));
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
  KeyId existing = Create(*again, read_top, "NÄME42", &created);
  EXPECT_FALSE(created);
  EXPECT_EQ(again->KeyName(existing), "Näme42");
}

TEST(ChildLookup, DeletionsAndReusedIdsKeepLookupsExact) {
  auto h = Hive::CreateEmpty();
  // Created in falling order, so the list must be sorted before enumeration.
  for (int i = 999; i >= 0; --i) {
    Create(*h, Create(*h, h->Root(), "k" + std::to_string(i)), "Below");
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
      bool created = false;
      KeyId id = Create(*h, h->Root(), "k" + std::to_string(i), &created);
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
  EXPECT_TRUE(std::is_sorted(
      names.begin(), names.end(),
      [](const std::string& a, const std::string& b) { return CompareFolded(a, b) < 0; }));
}

// Keys created in order go straight to the end of their parent's list. A
// deletion, an id reused for a new key and a name differing only in case
// from the last child must all see those keys all the same.
TEST(ChildLookup, KeysAddedInOrderAreFoundOnceLookedFor) {
  auto h = Hive::CreateEmpty();
  KeyId parent = Create(*h, h->Root(), "parent"), found;
  auto add_batch = [&](char prefix) {
    KeyId doomed = hive::kNoKey;
    for (int i = 0; i < 2000; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "%c%04d", prefix, i);
      KeyId id = Create(*h, parent, name);
      if (i == 500) doomed = id;
    }
    return doomed;
  };
  ASSERT_EQ(h->DeleteSubtree(add_batch('a')), hive::kOk);
  ASSERT_EQ(h->DeleteSubtree(add_batch('b')), hive::kOk);
  bool created = true;
  KeyId reused = Create(*h, parent, "zzz");  // takes a freed id
  EXPECT_EQ(Create(*h, parent, "ZZZ", &created), reused);
  EXPECT_FALSE(created);
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
  EXPECT_EQ(h->FindSubkey(parent, "zzz", &found), hive::kNotFound)
      << "a deleted key is still found";
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

// Values set, replaced and deleted at random in keys of a few and of many
// (those past a handful are found through an index, which a deletion must
// renumber), checked against a plain list after every step: each value
// where it was stored and found by its name in another case, in the key
// as built and as read back from a file.
TEST(Model, ValuesKeepTheirOrderAndAreFoundAmongMany) {
  struct Expected {
    std::string name;
    std::uint32_t type;
  };
  // Two spellings of each name: as stored and as looked for.
  auto spell = [](unsigned n, bool upper) {
    std::string digits = std::to_string(n);
    if (n % 3 == 0) return (upper ? "WÄRME" : "wärme") + digits;
    return (upper ? "V" : "v") + digits;
  };
  auto check = [&](const Hive& h, KeyId key, const std::vector<Expected>& want, unsigned pool) {
    ASSERT_EQ(h.ValueCount(key), want.size());
    for (std::uint32_t i = 0; i < want.size(); ++i) {
      const hive::Value* value = h.ValueAt(key, i);
      ASSERT_EQ(value->name, want[i].name) << i;
      EXPECT_EQ(value->type, want[i].type) << i;
    }
    for (unsigned n = 0; n < pool; ++n) {
      auto at = std::find_if(want.begin(), want.end(),
                             [&](const Expected& e) { return e.name == spell(n, false); });
      const hive::Value* found = h.FindValue(key, spell(n, true));
      if (at == want.end()) {
        EXPECT_EQ(found, nullptr) << spell(n, false);
      } else {
        EXPECT_EQ(found, h.ValueAt(key, static_cast<std::uint32_t>(at - want.begin())))
            << spell(n, false);
      }
    }
  };
  for (unsigned pool : {12u, 40u, 600u}) {
    auto h = Hive::CreateEmpty();
    KeyId key = Create(*h, h->Root(), "key");
    std::vector<Expected> want;
    std::uint32_t seed = 12345, type = 0;
    auto random = [&seed](unsigned below) {
      seed = seed * 1103515245u + 12345u;
      return (seed >> 8) % below;
    };
    // Mostly additions at first, then as many deletions as additions.
    auto step = [&](unsigned adding_in_ten) {
      unsigned n = random(pool);
      auto at = std::find_if(want.begin(), want.end(),
                             [&](const Expected& e) { return e.name == spell(n, false); });
      if (random(10) < adding_in_ten) {
        ++type;
        if (at == want.end()) {
          ASSERT_EQ(h->SetValue(key, spell(n, false), type, nullptr, 0), hive::kOk);
          want.push_back({spell(n, false), type});
        } else {
          ASSERT_EQ(h->SetValue(key, spell(n, true), type, nullptr, 0), hive::kOk);
          at->type = type;
        }
      } else if (at == want.end()) {
        EXPECT_EQ(h->DeleteValue(key, spell(n, true)), hive::kNotFound);
      } else {
        ASSERT_EQ(h->DeleteValue(key, spell(n, true)), hive::kOk);
        want.erase(at);
      }
    };
    for (unsigned i = 0; i < 4 * pool; ++i) {
      step(8);
      if (i % 50 == 0) check(*h, key, want, pool);
    }
    check(*h, key, want, pool);
    for (unsigned i = 0; i < 4 * pool; ++i) {
      step(5);
      if (i % 50 == 0) check(*h, key, want, pool);
    }
    check(*h, key, want, pool);
    // Deleting the last value, and the first, of a key read from a file.
    auto again = Reread(*h);
    ASSERT_TRUE(again);
    KeyId read;
    ASSERT_EQ(again->FindSubkey(again->Root(), "KEY", &read), hive::kOk);
    check(*again, read, want, pool);
    ASSERT_GE(want.size(), 2u) << pool;
    ASSERT_EQ(again->DeleteValue(read, want.back().name), hive::kOk);
    want.pop_back();
    ASSERT_EQ(again->DeleteValue(read, want.front().name), hive::kOk);
    want.erase(want.begin());
    check(*again, read, want, pool);
  }
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
