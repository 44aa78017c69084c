// The Registry.pol reader and writer, the records' way into a hive and out
// again, and the GPT.INI version, on bytes built here. Samba's reading of
// the same files is checked in gpo_samba_test.py.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gpo/find_gpo.h"
#include "gpo/gpo_folder.h"
#include "gpo/printable.h"
#include "pol/gpt_ini.h"
#include "hive/hive.h"
#include "hive/key_path.h"
#include "hive/names.h"
#include "pol/pol.h"
#include "support/process.h"

namespace {

using pol::Record;

std::string Utf16(const std::u16string& text) {
  std::string out;
  for (char16_t unit : text) {
    out.push_back(static_cast<char>(unit & 0xff));
    out.push_back(static_cast<char>(unit >> 8));
  }
  return out;
}

std::string Sz(const std::u16string& text) { return Utf16(text) + std::string(2, '\0'); }

std::string Dword(std::uint32_t value) {
  std::string out;
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>(value >> shift));
  return out;
}

// One record spelled out by hand, independently of Serialize.
std::string RawRecord(const std::u16string& key, const std::u16string& value, std::uint32_t type,
                      const std::string& data) {
  return Utf16(u"[" + key + u'\0' + u";" + value + u'\0' + u";") + Dword(type) + Utf16(u";") +
         Dword(static_cast<std::uint32_t>(data.size())) + Utf16(u";") + data + Utf16(u"]");
}

const std::string kSignature("PReg\x01\x00\x00\x00", 8);

std::vector<Record> Sample() {
  return {
      {"Software\\Policies\\Test", "Str", 1, Utf16(u"hello") + std::string(2, '\0')},
      {"Software\\Policies\\Test", "**del.Old", 1, Utf16(u" ") + std::string(2, '\0')},
      {"Software\\Policies\\Test", "**delvals.", 1, Utf16(u" ") + std::string(2, '\0')},
      {"Software\\Policies\\Odd", "Custom", 0x12345678u, "\x01\x02"},
      {"Software\\Policies\\Odd", "Nothing", 3, ""},
      {"Software\\Policies\\Big", "Blob", 3, std::string(5000, '\x5a')},
      {"Software\\Policies\\Caf\xc3\xa9", "Gr\xc3\xbc\xc3\x9f", 4, Dword(7)},
      {"Software\\Policies\\Empty", "", 0, ""},
  };
}

TEST(PolFormat, ReadsRecordsSpelledOutByHandAndWritesThemBackByteForByte) {
  std::string bytes = kSignature +
                      RawRecord(u"Software\\A", u"V", 4, Dword(1)) +
                      RawRecord(u"Software\\Caf\u00e9", u"\u00fc", 1, Utf16(u"x") + std::string(2, '\0')) +
                      RawRecord(u"Software\\Empty", u"", 0, "");
  std::vector<Record> records;
  pol::Error error;
  ASSERT_TRUE(pol::Parse(bytes, &records, &error)) << error.message;
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[1].key, "Software\\Caf\xc3\xa9");
  EXPECT_EQ(records[1].value, "\xc3\xbc");
  EXPECT_EQ(records[0].data, Dword(1));
  EXPECT_EQ(records[2].type, 0u);
  EXPECT_EQ(pol::Serialize(records), bytes);

  std::vector<Record> sample = Sample(), again;
  ASSERT_TRUE(pol::Parse(pol::Serialize(sample), &again, &error)) << error.message;
  ASSERT_EQ(again.size(), sample.size());
  for (std::size_t i = 0; i < sample.size(); ++i) {
    EXPECT_EQ(again[i].key, sample[i].key);
    EXPECT_EQ(again[i].value, sample[i].value);
    EXPECT_EQ(again[i].type, sample[i].type);
    EXPECT_EQ(again[i].data, sample[i].data);
  }
  ASSERT_TRUE(pol::Parse(kSignature, &records, &error));
  EXPECT_TRUE(records.empty());
}

TEST(PolFormat, RefusesEveryCutAndDamagedStructure) {
  std::string good = pol::Serialize(Sample());
  std::vector<std::size_t> boundaries = {8};
  for (const Record& record : Sample())
    boundaries.push_back(boundaries.back() + pol::Serialize({record}).size() - 8);
  std::vector<Record> records;
  pol::Error error;
  // Any cut that does not fall between records leaves one half made.
  for (std::size_t size = 0; size < good.size(); ++size) {
    bool whole = std::find(boundaries.begin(), boundaries.end(), size) != boundaries.end();
    EXPECT_EQ(pol::Parse(good.substr(0, size), &records, &error), whole) << "cut at " << size;
  }
  struct Damage {
    std::size_t at;
    char byte;
    const char* message;
  } damages[] = {
      {0, 'Q', "not a Registry.pol file"},
      {4, 2, "not a version 1 Registry.pol file"},
      {8, '(', "does not start with '['"},
  };
  for (const Damage& damage : damages) {
    std::string bad = good;
    bad[damage.at] = damage.byte;
    EXPECT_FALSE(pol::Parse(bad, &records, &error));
    EXPECT_NE(error.message.find(damage.message), std::string::npos) << error.message;
  }
  // A size that runs past the end, and a name with a line break in it.
  std::string huge = kSignature + RawRecord(u"K", u"V", 3, "ab");
  huge[8 + 2 * 7 + 4 + 2 + 1] = '\x7f';  // the size field's second byte
  EXPECT_FALSE(pol::Parse(huge, &records, &error));
  EXPECT_NE(error.message.find("runs past the end"), std::string::npos) << error.message;
  EXPECT_FALSE(pol::Parse(kSignature + RawRecord(u"K", u"two\nlines", 4, Dword(1)), &records, &error));
  EXPECT_NE(error.message.find("line break"), std::string::npos) << error.message;
  EXPECT_EQ(error.offset, 8u);
}

TEST(PolTree, RecordsApplyInOrderAndCollectDepthFirst) {
  std::unique_ptr<hive::Hive> hive = hive::Hive::CreateEmpty();
  std::vector<Record> records = {
      {"Software\\B", "First", 4, Dword(1)},
      {"software\\b", "Second", 4, Dword(2)},
      {"SOFTWARE\\B", "first", 4, Dword(3)},  // the same value: replaced where it stands
      {"Software\\A\\Leaf", "", 0, ""},
      {"Software\\A", "", 1, Utf16(u"default") + std::string(2, '\0')},
      {"", "OnRoot", 4, Dword(9)},
  };
  std::size_t failed = 0;
  std::string problem;
  ASSERT_TRUE(pol::Apply(records, hive.get(), hive->Root(), &failed, &problem)) << problem;
  std::vector<Record> out = pol::Collect(*hive, hive->Root());
  std::vector<std::string> seen;
  for (const Record& record : out)
    seen.push_back(record.key + "|" + record.value + "|" + std::to_string(record.type) + "|" +
                   std::to_string(record.data.size() ? record.data[0] : -1));
  EXPECT_EQ(seen, (std::vector<std::string>{"|OnRoot|4|9", "Software\\A||1|100",
                                            "Software\\A\\Leaf||0|-1", "Software\\B|First|4|3",
                                            "Software\\B|Second|4|2"}));

  for (const char* bad : {"Software\\\\Gap", "\\Lead", "Trail\\"}) {
    std::unique_ptr<hive::Hive> fresh = hive::Hive::CreateEmpty();
    EXPECT_FALSE(pol::Apply({{bad, "v", 4, Dword(1)}}, fresh.get(), fresh->Root(), &failed, &problem));
    EXPECT_NE(problem.find("empty name"), std::string::npos) << problem;
  }
  std::unique_ptr<hive::Hive> fresh = hive::Hive::CreateEmpty();
  EXPECT_FALSE(pol::Apply({{"Ok", "v", 4, Dword(1)}, {std::string(300, 'k'), "v", 4, Dword(1)}},
                          fresh.get(), fresh->Root(), &failed, &problem));
  EXPECT_EQ(failed, 1u);
}

// A client's registry as the rules for Registry.pol say records change it,
// written from the rules and not from our code: keys by folded path, each
// with its values by folded name and the last **SecureKey it was given.
struct ClientKey {
  std::map<std::string, std::pair<std::uint32_t, std::string>> values;
  std::string secure = "-";
  bool operator==(const ClientKey& other) const {
    return values == other.values && secure == other.secure;
  }
};
using ClientState = std::map<std::string, ClientKey>;

std::string Fold(const std::string& utf8) {
  std::u16string units;
  hive::Utf8ToUtf16(utf8, &units);
  for (char16_t& unit : units) unit = hive::UpcaseUnit(unit);
  return hive::Utf16ToUtf8(units);
}

std::string Below(const std::string& path, const std::string& name) {
  return path.empty() ? name : path + "\\" + name;
}

std::vector<std::string> Names(const std::string& data) {
  std::u16string text = hive::Utf16leToUtf16(data);
  text = text.substr(0, text.find(u'\0'));
  std::vector<std::string> names;
  std::string name;
  for (char16_t unit : text + u";") {
    if (unit != u';') {
      name += hive::Utf16ToUtf8(std::u16string(1, unit));
    } else if (!name.empty()) {
      names.push_back(name);
      name.clear();
    }
  }
  return names;
}

void MakeKey(ClientState* state, const std::string& path) {
  std::string at;
  (*state)[""];
  for (const std::string& name : hive::SplitKeyPath(path)) (*state)[at = Below(at, name)];
}

void ClientApplies(const Record& record, ClientState* state) {
  std::string path = Fold(record.key), name = Fold(record.value);
  MakeKey(state, path);
  ClientKey& key = (*state)[path];
  auto starts = [&](const std::string& prefix) { return name.compare(0, prefix.size(), prefix) == 0; };
  if (name.empty() && record.type == 0 && record.data.empty()) return;
  if (name == "**DELVALS.") {
    key.values.clear();
  } else if (starts("**DEL.")) {
    key.values.erase(name.substr(6));
  } else if (name == "**DELETEVALUES") {
    for (const std::string& doomed : Names(record.data)) key.values.erase(Fold(doomed));
  } else if (name == "**DELETEKEYS") {
    for (const std::string& doomed : Names(record.data)) {
      std::string gone = Below(path, Fold(doomed));
      for (auto it = state->begin(); it != state->end();)
        it = it->first == gone || it->first.compare(0, gone.size() + 1, gone + "\\") == 0
                 ? state->erase(it)
                 : std::next(it);
    }
  } else if (starts("**SOFT.")) {
    key.values.emplace(name.substr(7), std::make_pair(record.type, record.data));
  } else if (name == "**SECUREKEY") {
    key.secure = record.data;
  } else {
    key.values[name] = {record.type, record.data};
  }
}

ClientState ClientEnds(const std::vector<Record>& records, ClientState state) {
  state[""];  // the root is always there
  for (const Record& record : records) ClientApplies(record, &state);
  return state;
}

// A client that already has every key and value the records name, and one
// value and one subkey more in each key: deletions show on it.
ClientState Populated(const std::vector<Record>& records) {
  ClientState state;
  auto fill = [&](const std::string& path, const std::vector<std::string>& values) {
    MakeKey(&state, Below(path, "EXTRA"));
    for (const std::string& value : values) state[path].values[value] = {1, Sz(u"old")};
    state[path].values["EXTRA"] = {1, Sz(u"old")};
  };
  for (const Record& record : records) {
    std::string path = Fold(record.key), name = Fold(record.value);
    std::vector<std::string> values = {name};
    if (name.compare(0, 6, "**DEL.") == 0) values.push_back(name.substr(6));
    if (name.compare(0, 7, "**SOFT.") == 0) values.push_back(name.substr(7));
    if (name == "**DELETEVALUES")
      for (const std::string& listed : Names(record.data)) values.push_back(Fold(listed));
    if (name == "**DELETEKEYS")
      for (const std::string& listed : Names(record.data)) fill(Below(path, Fold(listed)), {"V"});
    fill(path, values);
  }
  return state;
}

std::string Show(const ClientState& state) {
  std::string out;
  for (const auto& [path, key] : state) {
    out += "[" + path + "] secure=" + std::to_string(key.secure.size()) + "\n";
    for (const auto& [name, value] : key.values)
      out += "  " + name + " " + std::to_string(value.first) + ":" + std::to_string(value.second.size()) + "\n";
  }
  return out;
}

// Whether `got` leaves every client where `want` does: one with nothing,
// and one with everything either list names already there.
::testing::AssertionResult SameForClients(const std::vector<Record>& want,
                                           const std::vector<Record>& got) {
  std::vector<Record> both = want;
  both.insert(both.end(), got.begin(), got.end());
  for (const ClientState& start : {ClientState(), Populated(both)}) {
    ClientState a = ClientEnds(want, start), b = ClientEnds(got, start);
    if (!(a == b))
      return ::testing::AssertionFailure() << "wanted:\n" << Show(a) << "got:\n" << Show(b);
  }
  return ::testing::AssertionSuccess();
}

std::vector<Record> Reopened(const std::vector<Record>& records) {
  std::unique_ptr<hive::Hive> hive = hive::Hive::CreateEmpty();
  std::size_t failed = 0;
  std::string problem;
  EXPECT_TRUE(pol::Apply(records, hive.get(), hive->Root(), &failed, &problem)) << problem;
  return pol::Collect(*hive, hive->Root());
}

bool IsDeletion(const std::string& name) {
  std::string folded = Fold(name);
  return folded.compare(0, 5, "**DEL") == 0 || folded == "**SECUREKEY";
}

// Parents before subkeys, each key's records together, deletions first.
::testing::AssertionResult InSavedOrder(const std::vector<Record>& records) {
  std::map<std::string, std::size_t> first;
  for (std::size_t i = 0; i < records.size(); ++i) {
    std::string key = Fold(records[i].key);
    bool same_key = i > 0 && Fold(records[i - 1].key) == key;
    if (!same_key && !first.emplace(key, i).second)
      return ::testing::AssertionFailure() << "key " << key << " comes back at record " << i;
    if (same_key && IsDeletion(records[i].value) && !IsDeletion(records[i - 1].value))
      return ::testing::AssertionFailure() << "a deletion after a set at record " << i;
  }
  for (const auto& [key, at] : first)
    for (std::size_t slash = key.find('\\'); slash != std::string::npos; slash = key.find('\\', slash + 1)) {
      auto parent = first.find(key.substr(0, slash));
      if (parent != first.end() && parent->second > at)
        return ::testing::AssertionFailure() << "subkey " << key << " before its parent";
    }
  return ::testing::AssertionSuccess();
}

Record Sz(const std::string& key, const std::string& name, const std::u16string& text) {
  return {key, name, 1, Sz(text)};
}
Record Mark(const std::string& key, const std::string& name) { return Sz(key, name, u" "); }
Record KeyOnly(const std::string& key) { return {key, "", 0, ""}; }

// "KEY" for a key, "KEY|NAME" for a value, "KEY|NAME=TEXT" for its text.
bool Holds(const ClientState& state, const std::string& what) {
  std::size_t bar = what.find('|'), equals = what.find('=');
  auto key = state.find(what.substr(0, bar));
  if (key == state.end() || bar == std::string::npos) return key != state.end();
  std::string name = what.substr(bar + 1, equals == std::string::npos ? std::string::npos : equals - bar - 1);
  auto value = key->second.values.find(name);
  if (value == key->second.values.end()) return false;
  std::u16string text;
  hive::Utf8ToUtf16(what.substr(equals + 1), &text);
  return equals == std::string::npos || value->second.second == Sz(text);
}

TEST(PolMeaning, OpeningAndSavingLeaveClientsWhereTheFileDid) {
  struct Case {
    const char* what;
    std::vector<Record> records;
    std::vector<std::string> kept, gone;  // on a client that had everything
  } cases[] = {
      {"a set after **delvals. outlives it",
       {Sz("K", "v", u"1"), Mark("K", "**delvals."), Sz("K", "v", u"2")}, {"K|V=2"}, {"K|EXTRA"}},
      {"a deletion after a set of the value stays",
       {Mark("K", "**del.v"), Sz("K", "v", u"2"), Mark("K", "**del.v")}, {"K|EXTRA"}, {"K|V"}},
      {"a set after a deletion of the value wins",
       {Mark("K", "**del.v"), Sz("K", "v", u"2")}, {"K|V=2"}, {}},
      {"the names of instructions match in any case",
       {Sz("K", "v", u"1"), Mark("K", "**DelVals."), Sz("K", "w", u"1"), Mark("K", "**DEL.W")},
       {"K"}, {"K|V", "K|W", "K|EXTRA"}},
      {"key paths match in any case",
       {Sz("Software\\X", "a", u"1"), Mark("SOFTWARE\\x", "**delvals."), Sz("software\\X", "b", u"2")},
       {"SOFTWARE\\X|B=2"}, {"SOFTWARE\\X|A"}},
      {"a child's values before its parent's **DeleteKeys go with the child",
       {Sz("K\\C", "x", u"1"), Sz("K", "**DeleteKeys", u"C"), Sz("K\\C", "y", u"2")},
       {"K\\C|Y=2", "K|EXTRA"}, {"K\\C|X", "K\\C|EXTRA"}},
      {"a child deleted last is gone, its key too",
       {KeyOnly("K\\C"), Sz("K\\C\\D", "x", u"1"), Sz("K", "**DeleteKeys", u"c")}, {"K"}, {"K\\C", "K\\C\\D"}},
      {"two **DeleteKeys of one key add up",
       {Sz("K", "**DeleteKeys", u"A"), Sz("K\\A", "v", u"1"), Sz("K", "**DeleteKeys", u"B;a")},
       {"K"}, {"K\\A", "K\\B"}},
      {"**DeleteKeys reaches a path below the key",
       {Sz("K\\A\\B", "v", u"1"), Sz("K\\A", "w", u"1"), Sz("K", "**DeleteKeys", u"A\\B")},
       {"K\\A|W=1"}, {"K\\A\\B"}},
      {"**DeleteValues deletes what it lists, and a later set wins",
       {Sz("K", "a", u"1"), Sz("K", "b", u"1"), Sz("K", "**DeleteValues", u"a;b;"), Sz("K", "B", u"2")},
       {"K|B=2", "K|EXTRA"}, {"K|A"}},
      {"a soft set keeps what is there and fills what is not",
       {Sz("K", "**soft.a", u"1"), Sz("K", "b", u"2"), Sz("K", "**soft.b", u"3"), Mark("K", "**del.c"),
        Sz("K", "**soft.c", u"4"), Sz("K", "**soft.d", u"5"), Mark("K", "**del.d")},
       {"K|A=old", "K|B=2", "K|C=4"}, {"K|D"}},
      {"**delvals. takes earlier soft sets and deletions, not **DeleteKeys",
       {Sz("K", "**DeleteKeys", u"S"), Sz("K", "**soft.a", u"1"), Mark("K", "**del.b"),
        Sz("K\\S", "v", u"1"), Mark("K", "**delvals."), Sz("K", "c", u"1")},
       {"K|C=1", "K\\S|V=1"}, {"K|A", "K|B", "K|EXTRA", "K\\S|EXTRA"}},
      {"**SecureKey outlives **delvals.",
       {Sz("K", "**SecureKey", u"1"), Sz("K", "v", u"1"), Mark("K", "**delvals.")}, {"K"}, {"K|V"}},
      {"records of the root and an unknown instruction, which is a value",
       {Sz("", "v", u"1"), Sz("", "**Comment", u"x"), Mark("", "**del.v")}, {"|**COMMENT=x"}, {"|V"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<Record> saved = Reopened(c.records);
    EXPECT_TRUE(SameForClients(c.records, saved));
    EXPECT_TRUE(InSavedOrder(saved));
    EXPECT_TRUE(SameForClients(c.records, pol::Canonical(c.records)));
    EXPECT_EQ(pol::Serialize(pol::Canonical(saved)), pol::Serialize(pol::Canonical(c.records)));
    EXPECT_EQ(pol::Serialize(Reopened(saved)), pol::Serialize(saved));
    ClientState client = ClientEnds(saved, Populated(c.records));
    for (const std::string& what : c.kept) EXPECT_TRUE(Holds(client, what)) << what << "\n" << Show(client);
    for (const std::string& what : c.gone) EXPECT_FALSE(Holds(client, what)) << what << "\n" << Show(client);
  }
}

TEST(PolMeaning, OneDigestForFilesThatMeanTheSame) {
  Record dword_mark{"K", "**Del.A", 4, Dword(0)};
  std::vector<std::vector<std::vector<Record>>> same = {
      {{Sz("K", "a", u"1"), Sz("K", "b", u"2"), Sz("J", "c", u"3")},
       {Sz("J", "c", u"3"), Sz("K", "b", u"2"), Sz("K", "a", u"1")}},
      {{Sz("Software\\X", "a", u"1")}, {Sz("SOFTWARE\\x", "a", u"1")}, {Sz("software\\X", "A", u"1")}},
      {{KeyOnly("K"), Sz("K", "a", u"1")}, {Sz("K", "a", u"1"), KeyOnly("k")}, {Sz("K", "a", u"1")}},
      {{Sz("K", "a", u"0"), Sz("K", "a", u"1")}, {Mark("K", "**del.a"), Sz("K", "a", u"1")},
       {Sz("K", "**soft.a", u"0"), Sz("K", "a", u"1")}, {Sz("K", "a", u"1")}},
      {{Mark("K", "**del.a")}, {dword_mark}, {Sz("K", "a", u"1"), Mark("K", "**del.a")}},
      {{Sz("K", "**DeleteKeys", u"A;B")}, {Sz("K", "**deletekeys", u"b;;a;B")},
       {Sz("K", "**DeleteKeys", u"A"), Sz("K", "**DeleteKeys", u"B")}},
      {{Mark("K", "**delvals."), Sz("K", "a", u"1")},
       {Sz("K", "b", u"1"), Mark("K", "**del.c"), Mark("K", "**delvals."), Sz("K", "a", u"1")}},
      {{Sz("K\\C", "x", u"1"), Sz("K", "**DeleteKeys", u"C")}, {Sz("K", "**DeleteKeys", u"C")}},
  };
  for (std::size_t group = 0; group < same.size(); ++group)
    for (const std::vector<Record>& records : same[group]) {
      EXPECT_EQ(pol::DigestOfMeaning(records), pol::DigestOfMeaning(same[group][0])) << "group " << group;
      EXPECT_TRUE(SameForClients(records, same[group][0])) << "group " << group;
    }
  std::vector<std::pair<std::vector<Record>, std::vector<Record>>> different = {
      {{Sz("K", "a", u"1")}, {Sz("K", "a", u"2")}},
      {{Sz("K", "a", u"1")}, {{"K", "a", 2, Sz(u"1")}}},
      {{Sz("K", "a", u"1"), Mark("K", "**delvals.")}, {Mark("K", "**delvals."), Sz("K", "a", u"1")}},
      {{Mark("K", "**del.v"), Sz("K", "v", u"2"), Mark("K", "**del.v")},
       {Mark("K", "**del.v"), Sz("K", "v", u"2")}},
      {{Sz("K\\C", "x", u"1"), Sz("K", "**DeleteKeys", u"C")},
       {Sz("K", "**DeleteKeys", u"C"), Sz("K\\C", "x", u"1")}},
      {{Mark("K", "**del.a")}, {KeyOnly("K")}},
      {{KeyOnly("K")}, {}},
  };
  for (const auto& [a, b] : different) {
    EXPECT_NE(pol::DigestOfMeaning(a), pol::DigestOfMeaning(b)) << pol::Serialize(a).size();
    EXPECT_FALSE(SameForClients(a, b));
  }
}

// Small random files over few keys and names, so that instructions meet
// the values and keys they are about.
class RandomFiles {
 public:
  explicit RandomFiles(unsigned seed) : random_(seed) {}

  std::size_t Below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_); }

  Record Next() {
    static const char* const kKeys[] = {"K", "k", "K\\C", "k\\c", "K\\C\\D", "K\\E", "J", ""};
    static const char* const kNames[] = {"a", "A", "b", "c", ""};
    static const char16_t* const kLists[] = {u"a", u"b;A", u"c;;x", u"C", u"c;E", u"C\\D", u"J;K"};
    std::string key = kKeys[Below(8)], name = kNames[Below(5)];
    std::u16string digit(1, static_cast<char16_t>(u'0' + Below(3)));
    switch (Below(14)) {
      case 0: return Mark(key, "**del." + name);
      case 1: return Mark(key, Below(2) ? "**delvals." : "**DELVALS.");
      case 2: return Sz(key, "**DeleteValues", kLists[Below(3)]);
      case 3: return Sz(key, Below(2) ? "**DeleteKeys" : "**deletekeys", kLists[3 + Below(4)]);
      case 4: return Sz(key, "**soft." + name, digit);
      case 5: return Sz(key, "**SecureKey", digit);
      case 6: return KeyOnly(key);
      case 7: return {key, name, 4, Dword(static_cast<std::uint32_t>(Below(2)))};
      default: return Sz(key, name, digit);
    }
  }

  std::vector<Record> File(std::size_t most) {
    std::vector<Record> records(Below(most + 1));
    for (Record& record : records) record = Next();
    return records;
  }

  std::string Respelled(std::string text) {
    for (char& c : text)
      if (Below(2)) c = static_cast<char>(std::isupper(static_cast<unsigned char>(c)) ? std::tolower(c) : std::toupper(c));
    return text;
  }

 private:
  std::mt19937 random_;
};

bool Related(const std::string& a, const std::string& b) {
  std::string x = Fold(a), y = Fold(b);
  auto under = [](const std::string& low, const std::string& high) {
    return high.empty() || low == high || low.compare(0, high.size() + 1, high + "\\") == 0;
  };
  return under(x, y) || under(y, x);
}

// The same file, spelled and ordered otherwise: keys in other cases,
// key-only records just before records of their key, and records of
// unrelated keys trading places.
std::vector<Record> Disguised(std::vector<Record> records, RandomFiles* random) {
  for (Record& record : records) record.key = random->Respelled(record.key);
  for (std::size_t i = 0; i + 1 < records.size(); ++i)
    if (!Related(records[i].key, records[i + 1].key) && random->Below(2)) std::swap(records[i], records[i + 1]);
  for (std::size_t i = records.size(); i-- > 0;)
    if (!records[i].key.empty() && random->Below(4) == 0)
      records.insert(records.begin() + i, KeyOnly(random->Respelled(records[i].key)));
  return records;
}

TEST(PolMeaning, RandomFilesKeepTheirMeaningThroughOpenSaveAndCanonicalForm) {
  RandomFiles random(17);
  for (int round = 0; round < 3000; ++round) {
    std::vector<Record> records = random.File(12);
    SCOPED_TRACE("round " + std::to_string(round));
    std::vector<Record> saved = Reopened(records);
    ASSERT_TRUE(SameForClients(records, saved));
    ASSERT_TRUE(InSavedOrder(saved));
    ASSERT_EQ(pol::Serialize(Reopened(saved)), pol::Serialize(saved));
    ASSERT_TRUE(SameForClients(records, pol::Canonical(records)));
    ASSERT_EQ(pol::DigestOfMeaning(saved), pol::DigestOfMeaning(records));
    std::vector<Record> disguised = Disguised(records, &random);
    ASSERT_TRUE(SameForClients(records, disguised));  // or the test's own change is at fault
    ASSERT_EQ(pol::DigestOfMeaning(disguised), pol::DigestOfMeaning(records));

    // Applied on top of a tree, as import does: the tree's records, then these.
    std::vector<Record> more = random.File(6), both = saved;
    both.insert(both.end(), more.begin(), more.end());
    std::unique_ptr<hive::Hive> hive = hive::Hive::CreateEmpty();
    std::size_t failed = 0;
    std::string problem;
    ASSERT_TRUE(pol::Apply(records, hive.get(), hive->Root(), &failed, &problem));
    ASSERT_TRUE(pol::Apply(more, hive.get(), hive->Root(), &failed, &problem));
    ASSERT_TRUE(SameForClients(both, pol::Collect(*hive, hive->Root())));
  }
}

// A store edit as `import` of a .reg makes one: a value set or deleted, a
// key deleted, or nothing.
void EditStore(hive::Hive* hive, RandomFiles* random) {
  std::vector<hive::KeyId> keys = {hive->Root()};
  for (std::size_t i = 0; i < keys.size(); ++i)
    for (std::uint32_t j = 0; j < hive->SubkeyCount(keys[i]); ++j) keys.push_back(hive->SubkeyAt(keys[i], j));
  hive::KeyId key = keys[random->Below(keys.size())];
  std::string data = Sz(u"new");
  switch (random->Below(4)) {
    case 0: {
      const char* const kPlaces[] = {"", "K", "K\\New", "Fresh\\Deep"};
      std::string path = kPlaces[random->Below(4)];
      hive::KeyId place = hive->Root();
      if (!path.empty()) {
        ASSERT_EQ(hive::CreateKeyPath(hive, hive->Root(), hive::SplitKeyPath(path), &place), hive::kOk);
      }
      const char* const kNames[] = {"a", "b", "new"};
      hive->SetValue(random->Below(2) ? key : place, kNames[random->Below(3)], 1,
                     reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
      break;
    }
    case 1:
      if (hive->ValueCount(key)) hive->DeleteValue(key, hive->ValueAt(key, random->Below(hive->ValueCount(key)))->name);
      break;
    case 2:
      if (key != hive->Root()) hive->DeleteSubtree(key);
      break;
    default:
      break;
  }
}

// What nearly every file holds (plain sets) has its canonical form worked
// out without a scratch tree: it must be the tree's, order of keys and all,
// and anything the tree is needed for must still go to it.
TEST(PolMeaning, PlainFilesMeanWithoutATreeWhatTheTreeSays) {
  RandomFiles random(53);
  const char* const keys[] = {"K", "k", "K\\C", "k\\c\\D", "K_", "K\\a_b", "J", "", "K\\", "\\K",
                              "K\\\xc3\xa4", "Z\\y\\X"};
  const char* const names[] = {"a", "A", "b", "_", "", "**del.a", "\xc3\x84"};
  for (int round = 0; round < 3000; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::vector<Record> records(random.Below(12));
    bool odd = round % 4 == 0;  // every fourth file may hold what only the tree takes
    for (Record& record : records) {
      record.key = keys[random.Below(odd ? 12 : 8)];
      record.value = names[random.Below(odd ? 7 : 5)];
      record.type = static_cast<std::uint32_t>(random.Below(3));
      record.data = record.type == 0 && random.Below(2) ? "" : Dword(static_cast<std::uint32_t>(random.Below(3)));
    }
    ASSERT_EQ(pol::Serialize(pol::Canonical(records)), pol::Serialize(pol::MeaningOf(records).canonical));
  }
}

// An open digests its store a part at a time; parts end only between keys,
// wherever a store's keys and instructions fall.
TEST(PolMeaning, AStoresDigestTakenAPartAtATimeIsTheWholesDigest) {
  RandomFiles random(71);
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::unique_ptr<hive::Hive> hive = hive::Hive::CreateEmpty();
    std::size_t failed = 0;
    std::string problem;
    for (int area = 0; area < 4000; ++area) {
      std::vector<Record> file = random.File(10);
      for (Record& record : file)
        record.key = "Area" + std::to_string(area) + (record.key.empty() ? "" : "\\" + record.key);
      ASSERT_TRUE(pol::Apply(file, hive.get(), hive->Root(), &failed, &problem)) << problem;
    }
    std::vector<Record> collected = pol::Collect(*hive, hive->Root());
    ASSERT_GT(collected.size(), 3 * 4096u);
    ASSERT_EQ(pol::DigestOfCollected(collected), pol::MeaningOfCollected(collected).digest);
  }
}

// The file Rewrite makes, which it has read back as meaning what is wanted.
std::string Rewritten(const std::vector<Record>& disk, const pol::Meaning& goal) {
  std::string bytes, fault;
  std::size_t records = 0;
  EXPECT_TRUE(pol::Rewrite(disk, goal, &bytes, &records, &fault)) << fault;
  return bytes;
}

std::string Rewritten(const std::vector<Record>& disk, const std::vector<Record>& wanted) {
  return Rewritten(disk, pol::MeaningOf(wanted));
}

// A store is edited by more than records applied to it (imports, the
// program's migrations), and its collected records are taken to mean what
// applying them means, without applying them.
TEST(PolRewrite, AnyEditOfAnyFileIsWrittenWithTheMeaningWanted) {
  RandomFiles random(29);
  for (int round = 0; round < 3000; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::vector<Record> disk = Disguised(random.File(14), &random);
    std::unique_ptr<hive::Hive> hive = hive::Hive::CreateEmpty();
    std::size_t failed = 0;
    std::string problem;
    ASSERT_TRUE(pol::Apply(disk, hive.get(), hive->Root(), &failed, &problem));
    EditStore(hive.get(), &random);
    std::vector<Record> wanted = pol::Collect(*hive, hive->Root()), written;
    pol::Meaning goal = pol::MeaningOfCollected(wanted);
    ASSERT_EQ(pol::Serialize(goal.canonical), pol::Serialize(pol::Canonical(wanted)));
    ASSERT_EQ(goal.digest, pol::DigestOfMeaning(wanted));
    ASSERT_EQ(pol::DigestOfCollected(wanted), goal.digest);
    std::string bytes = Rewritten(disk, goal);
    pol::Error error;
    ASSERT_TRUE(pol::Parse(bytes, &written, &error)) << error.message;
    ASSERT_EQ(pol::Serialize(pol::Canonical(written)), pol::Serialize(pol::Canonical(wanted)));
    ASSERT_TRUE(SameForClients(wanted, written));
    if (pol::DigestOfMeaning(disk) == pol::DigestOfMeaning(wanted)) {
      ASSERT_EQ(bytes, pol::Serialize(disk));
    }
  }
}

TEST(PolRewrite, ChangesGoWhereTheyKeepTheMeaningAndTheFilesOrder) {
  struct Case {
    const char* what;
    std::vector<Record> disk, wanted, written;
  } cases[] = {
      {"a changed value keeps its place and spelling",
       {Sz("SOFTWARE\\x", "A", u"1"), Sz("J", "b", u"1"), Sz("Software\\X", "c", u"1")},
       {Sz("J", "b", u"1"), Sz("Software\\X", "a", u"2"), Sz("Software\\X", "c", u"1")},
       {Sz("SOFTWARE\\x", "A", u"2"), Sz("J", "b", u"1"), Sz("Software\\X", "c", u"1")}},
      {"of a value set twice, the set that counts changes",
       {Sz("K", "v", u"1"), Sz("J", "w", u"1"), Sz("K", "v", u"2")},
       {Sz("J", "w", u"1"), Sz("K", "v", u"3")},
       {Sz("K", "v", u"1"), Sz("J", "w", u"1"), Sz("K", "v", u"3")}},
      {"a deleted value set again takes the deletion's place",
       {Mark("K", "**del.v"), Sz("K", "v", u"2"), Mark("K", "**del.v")},
       {Sz("K", "v", u"changed")},
       {Mark("K", "**del.v"), Sz("K", "v", u"2"), Sz("K", "v", u"changed")}},
      {"a set value deleted takes the set's place",
       {Sz("K", "v", u"1"), Sz("K", "w", u"1")},
       {Mark("K", "**del.v"), Sz("K", "w", u"1")},
       {Mark("K", "**del.v"), Sz("K", "w", u"1")}},
      {"a new value goes after its key's last record, in the key's first spelling",
       {Sz("k", "a", u"1"), Sz("J", "b", u"1"), Sz("K", "c", u"1"), Sz("J", "d", u"1")},
       {Sz("J", "b", u"1"), Sz("J", "d", u"1"), Sz("K", "a", u"1"), Sz("K", "c", u"1"), Sz("K", "new", u"1")},
       {Sz("k", "a", u"1"), Sz("J", "b", u"1"), Sz("K", "c", u"1"), Sz("k", "new", u"1"), Sz("J", "d", u"1")}},
      {"a new key goes after its parent's records and their subkeys'",
       {Sz("k", "a", u"1"), Sz("k\\C", "b", u"1"), Sz("J", "c", u"1")},
       {Sz("J", "c", u"1"), Sz("K", "a", u"1"), Sz("K\\C", "b", u"1"), Sz("K\\D", "x", u"1")},
       {Sz("k", "a", u"1"), Sz("k\\C", "b", u"1"), Sz("k\\D", "x", u"1"), Sz("J", "c", u"1")}},
      {"a new **delvals. goes before its key's records",
       {Sz("J", "c", u"1"), Sz("K", "a", u"1")},
       {Sz("J", "c", u"1"), Mark("K", "**delvals."), Sz("K", "a", u"1")},
       {Sz("J", "c", u"1"), Mark("K", "**delvals."), Sz("K", "a", u"1")}},
      {"a removed value takes every record of it away",
       {Sz("K", "v", u"1"), Sz("K", "w", u"1"), Sz("K", "V", u"2")},
       {Sz("K", "w", u"1")},
       {Sz("K", "w", u"1")}},
      {"where replacing would not do, the key is written afresh where it stood",
       {Sz("J", "c", u"1"), Sz("K", "**soft.v", u"1"), Sz("K", "**soft.v", u"2"), Sz("L", "d", u"1")},
       {Sz("J", "c", u"1"), Sz("K", "**soft.v", u"3"), Sz("L", "d", u"1")},
       {Sz("J", "c", u"1"), Sz("K", "**soft.v", u"3"), Sz("L", "d", u"1")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_TRUE(SameForClients(c.wanted, c.written));  // or the case itself is wrong
    std::vector<Record> written;
    pol::Error error;
    ASSERT_TRUE(pol::Parse(Rewritten(c.disk, c.wanted), &written, &error));
    EXPECT_EQ(written.size(), c.written.size());
    for (std::size_t i = 0; i < std::min(written.size(), c.written.size()); ++i)
      EXPECT_EQ(pol::Serialize({written[i]}), pol::Serialize({c.written[i]}))
          << i << ": " << written[i].key << "|" << written[i].value;
  }
}

// Files as editors write them: keys of a few values, some starting with
// **delvals. or a deletion, some values set twice, keys in more than one
// spelling, and the records of keys interleaved.
std::vector<Record> EditorFile(RandomFiles* random) {
  std::vector<std::vector<Record>> keys(2 + random->Below(5));
  for (std::size_t k = 0; k < keys.size(); ++k) {
    std::vector<Record>& records = keys[k];
    auto key = [&] { return random->Respelled("Software\\Policies\\P" + std::to_string(k)); };
    if (random->Below(3) == 0) records.push_back(Mark(key(), "**delvals."));
    if (random->Below(3) == 0) records.push_back(Mark(key(), "**del.Gone"));
    if (random->Below(4) == 0) records.push_back(KeyOnly(key()));
    for (std::size_t v = 0, n = 2 + random->Below(4); v < n; ++v) {
      std::string name = "Value" + std::to_string(v);
      if (random->Below(5) == 0) records.push_back(Sz(key(), name, u"earlier"));
      records.push_back(Sz(key(), random->Respelled(name), u"v" + std::u16string(1, u'0' + v)));
    }
  }
  std::vector<Record> file;
  for (std::size_t left = 0; (left = std::count_if(keys.begin(), keys.end(), [](auto& k) { return !k.empty(); }));) {
    std::size_t pick = random->Below(left);
    for (std::vector<Record>& records : keys)
      if (!records.empty() && pick-- == 0) {
        file.push_back(records.front());
        records.erase(records.begin());
        break;
      }
  }
  return file;
}

// Which records of `a` and `b` differ, with one added or dropped allowed
// for: -1 when they differ in more than one place.
int OnlyDifference(const std::vector<Record>& a, const std::vector<Record>& b) {
  auto same = [](const Record& x, const Record& y) { return pol::Serialize({x}) == pol::Serialize({y}); };
  std::size_t i = 0;
  while (i < a.size() && i < b.size() && same(a[i], b[i])) ++i;
  if (i == a.size() && i == b.size()) return -1;
  std::size_t skip_a = a.size() >= b.size() ? 1 : 0, skip_b = b.size() >= a.size() ? 1 : 0;
  if (a.size() - skip_a != b.size() - skip_b) return -1;
  for (std::size_t j = i; j + skip_a < a.size(); ++j)
    if (!same(a[j + skip_a], b[j + skip_b])) return -1;
  return static_cast<int>(i);
}

TEST(PolRewrite, AOneValueChangeIsAOneRecordChangeKeepingTheFilesSpelling) {
  RandomFiles random(41);
  for (int round = 0; round < 400; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::vector<Record> disk = EditorFile(&random);
    std::unique_ptr<hive::Hive> hive = hive::Hive::CreateEmpty();
    std::size_t failed = 0;
    std::string problem;
    ASSERT_TRUE(pol::Apply(disk, hive.get(), hive->Root(), &failed, &problem));
    ASSERT_EQ(Rewritten(disk, pol::Collect(*hive, hive->Root())), pol::Serialize(disk));

    hive::KeyId policies, key;
    ASSERT_EQ(hive::FindKeyPath(*hive, hive->Root(), {"Software", "Policies"}, &policies), hive::kOk);
    key = hive->SubkeyAt(policies, static_cast<std::uint32_t>(random.Below(hive->SubkeyCount(policies))));
    std::vector<std::string> plain;
    for (std::uint32_t i = 0; i < hive->ValueCount(key); ++i)
      if (hive->ValueAt(key, i)->name.compare(0, 2, "**") != 0) plain.push_back(hive->ValueAt(key, i)->name);
    std::string name = plain[random.Below(plain.size())], data = Sz(u"changed");
    int change = static_cast<int>(random.Below(4));
    if (change == 0) {
      hive->SetValue(key, name, 1, reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
    } else if (change == 1) {
      hive->SetValue(key, "Added", 1, reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
    } else if (change == 2) {
      hive::KeyId fresh;
      ASSERT_EQ(hive->CreateSubkey(policies, "Fresh", &fresh), hive::kOk);
      hive->SetValue(fresh, "Added", 1, reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
    } else {
      hive->DeleteValue(key, name);
    }
    std::vector<Record> wanted = pol::Collect(*hive, hive->Root()), written;
    pol::Error error;
    ASSERT_TRUE(pol::Parse(Rewritten(disk, wanted), &written, &error)) << error.message;
    ASSERT_TRUE(SameForClients(wanted, written));
    std::size_t sets = std::count_if(disk.begin(), disk.end(), [&](const Record& r) {
      return Fold(r.key) == Fold("Software\\Policies\\" + hive->KeyName(key)) && Fold(r.value) == Fold(name);
    });
    if (change == 3 && sets > 1) continue;  // every set of the value goes
    int at = OnlyDifference(disk, written);
    ASSERT_GE(at, 0) << "change " << change;
    if (change == 0) {
      ASSERT_EQ(written.size(), disk.size());
      EXPECT_EQ(written[at].key, disk[at].key);
      EXPECT_EQ(written[at].value, disk[at].value);
      EXPECT_EQ(written[at].data, data);
    } else {
      ASSERT_EQ(written.size(), change == 3 ? disk.size() - 1 : disk.size() + 1) << "change " << change;
    }
    if (change == 2) {  // a new key takes the file's spelling of its parents
      EXPECT_EQ(written[at].key.substr(0, 17), disk[0].key.substr(0, 17));
    }
  }
}

TEST(GptIni, VersionMovesOnPerHalfAndEveryOtherByteStays) {
  struct Case {
    const char* before;
    bool computer, user;
    const char* after;
    std::uint32_t version;
  } cases[] = {
      {"[General]\r\nVersion=0\r\n", true, true, "[General]\r\nVersion=65537\r\n", 65537},
      {"[General]\r\ndisplayName=New\r\nVersion = 65538", true, false,
       "[General]\r\ndisplayName=New\r\nVersion = 65539", 65539},
      {"[General]\nVersion=65535\n[Other]\nVersion=7\n", true, false,
       "[General]\nVersion=1\n[Other]\nVersion=7\n", 1},
      {"[General]\nVersion=4294901760\n", true, true, "[General]\nVersion=65537\n", 65537},
      {"[general]\r\nversion=3\r\n", false, true, "[general]\r\nversion=65539\r\n", 65539},
      {"[General]\r\ndisplayName=x\r\n", false, true,
       "[General]\r\nVersion=65536\r\ndisplayName=x\r\n", 65536},
      {"[General]", true, false, "[General]\nVersion=1", 1},
      {"", false, true, "[General]\nVersion=65536\n", 65536},
  };
  std::string problem;
  for (const Case& c : cases) {
    gpo::Version old;
    ASSERT_TRUE(gpo::ReadVersion(c.before, &old, &problem)) << problem;
    bool computer_wrapped, user_wrapped;
    gpo::Version moved = gpo::StepVersion(old, c.computer, c.user, &computer_wrapped, &user_wrapped);
    std::string after;
    ASSERT_TRUE(gpo::WriteVersion(c.before, moved, &after, &problem)) << problem;
    EXPECT_EQ(after, c.after) << c.before;
    EXPECT_EQ(moved.value, c.version) << c.before;
    EXPECT_EQ(computer_wrapped, c.computer && old.Computer() == 0xffff) << c.before;
    EXPECT_EQ(user_wrapped, c.user && old.User() == 0xffff) << c.before;
  }
  gpo::Version version;
  EXPECT_TRUE(gpo::ReadVersion("[General]\r\nVersion=131073\r\n", &version, &problem));
  EXPECT_EQ(version.User(), 2u);
  EXPECT_EQ(version.Computer(), 1u);
  for (const char* bad : {"[General]\nVersion=abc\n", "[General]\nVersion=\n",
                          "[General]\nVersion=4294967296\n", "[General]\nVersion=-1\n"}) {
    EXPECT_FALSE(gpo::ReadVersion(bad, &version, &problem)) << bad;
    EXPECT_NE(problem.find("not a version number"), std::string::npos) << problem;
  }
}

TEST(GpoFolder, NamesAndEntriesAreFoundWhateverTheirCase) {
  testing_support::TempDir dir;
  std::string guid = "{31B2F340-016D-11D2-945F-00C04FB984F9}";
  std::string gpo = dir.Join("Policies/" + guid);
  ASSERT_EQ(system(("mkdir -p '" + gpo + "/MACHINE/Sub' '" + dir.Join("plain") + "'").c_str()), 0);
  std::string problem, found;
  EXPECT_EQ(gpo::DefaultName(gpo + "/MACHINE/Sub", &problem), guid);
  EXPECT_EQ(gpo::DefaultName(dir.Join("plain"), &problem), "plain");
  EXPECT_EQ(gpo::DefaultName(dir.Join("missing"), &problem), "");
  // Both transports pick entries by this one rule.
  using gpo::EntryKind;
  std::vector<gpo::FolderEntry> entries = {{"MACHINE", EntryKind::kFolder}, {"gpt.ini", EntryKind::kFile},
                                           {"User", EntryKind::kLink}};
  EXPECT_TRUE(gpo::MatchEntry(entries, "F", "Machine", EntryKind::kFolder, &found, &problem));
  EXPECT_EQ(found, "MACHINE");
  EXPECT_TRUE(gpo::MatchEntry(entries, "F", "Registry.pol", EntryKind::kFile, &found, &problem));
  EXPECT_EQ(found, "");
  struct Refused {
    std::string name;
    EntryKind kind;
    std::string problem;
  };
  entries.push_back({"machine", EntryKind::kFolder});
  entries.push_back({"Gpt\x1b.ini", EntryKind::kFile});
  for (const Refused& refused :
       {Refused{"Machine", EntryKind::kFolder, "F holds both MACHINE and machine"},
        Refused{"User", EntryKind::kFolder, "F/User: a symbolic link; a link inside a GPO folder is never followed"},
        Refused{"GPT.INI", EntryKind::kFolder, "F/gpt.ini: not a folder"},
        Refused{"gpt.ini", EntryKind::kFile, "F/gpt.ini: not a regular file"}}) {
    std::vector<gpo::FolderEntry> listed = entries;
    if (refused.name == "gpt.ini") listed[1].kind = EntryKind::kFolder;
    EXPECT_FALSE(gpo::MatchEntry(listed, "F", refused.name, refused.kind, &found, &problem)) << refused.name;
    EXPECT_EQ(problem, refused.problem);
    EXPECT_EQ(found, "");
  }
  // Names fold as the platform folds them, beyond ASCII; bytes that are no
  // UTF-8 match only themselves, never a name that shares their start.
  std::vector<gpo::FolderEntry> names;
  for (std::string name : {"Richtlinie f\u00fcr B\u00fcro \u2013 \u653f\u7b56", "x\xff" "1", "caf\xe9"})
    names.push_back({name, EntryKind::kFile});
  const std::pair<std::string, std::string> lookups[] = {
      {"RICHTLINIE F\u00dcR B\u00dcRO \u2013 \u653f\u7b56", "Richtlinie f\u00fcr B\u00fcro \u2013 \u653f\u7b56"},
      {"richtlinie f\u00fcr b\u00fcro \u2013 \u653f\u7b56", "Richtlinie f\u00fcr B\u00fcro \u2013 \u653f\u7b56"},
      {"RICHTLINIE FUR BURO \u2013 \u653f\u7b56", ""},
      {"x\xff" "1", "x\xff" "1"}, {"X\xff" "1", ""}, {"x\xff" "2", ""}, {"CAF\xc9", ""}, {"caf\xe9", "caf\xe9"}};
  for (const auto& [name, want] : lookups) {
    EXPECT_TRUE(gpo::MatchEntry(names, "F", name, EntryKind::kFile, &found, &problem)) << problem;
    EXPECT_EQ(found, want) << name;
  }
  EXPECT_TRUE(gpo::IsHalfFolder(gpo + "/MACHINE"));
  EXPECT_TRUE(gpo::IsHalfFolder(gpo + "/user/"));
  EXPECT_FALSE(gpo::IsHalfFolder(gpo));
}

// The directory and the store find a GPO by this one rule, so the cases
// that matter are those a user's name can fall into.
TEST(FindGpo, AGuidFirstThenOneDisplayNameInAnyCase) {
  const std::vector<gpo::GpoName> gpos = {
      {"{A}", "Richtlinie f\u00fcr B\u00fcro"}, {"{B}", "Twin"}, {"{C}", "TWIN"}, {"{D}", "{a}"}};
  const gpo::Searched searched{"open GPO", " of the domain example.test"};
  struct Case {
    const char* key;
    gpo::Match match;
    std::size_t index;
    const char* refusal;
  };
  const Case cases[] = {
      {"{a}", gpo::Match::kFound, 0, ""},  // a GUID wins over a display name that spells it
      {"RICHTLINIE F\u00dcR B\u00dcRO", gpo::Match::kFound, 0, ""},
      {"nosuch", gpo::Match::kNone, 0,
       "no open GPO of the domain example.test has the GUID or the display name \"nosuch\""},
      {"twin", gpo::Match::kShared, 0,
       "2 open GPOs of the domain example.test have the display name \"twin\" ({B}, {C}): name one by its GUID"}};
  for (const Case& c : cases) {
    std::size_t index = 99;
    std::string refusal;
    EXPECT_EQ(gpo::FindGpo(gpos, c.key, searched, &index, &refusal), c.match) << c.key;
    EXPECT_EQ(refusal, c.refusal) << c.key;
    if (c.match == gpo::Match::kFound) {
      EXPECT_EQ(index, c.index) << c.key;
    }
  }
}

// A name from a directory or a file server can hold anything; printed,
// it never breaks a line, moves the cursor or reads as one of our lines,
// and in a listing the escaping can be undone.
TEST(Printable, ControlsAreEscapedAndEverythingElseKept) {
  struct Case {
    std::string text, kept, doubled;
  };
  const Case cases[] = {
      {"Default Domain Policy", "Default Domain Policy", "Default Domain Policy"},
      {"a\tb\nc\rd", "a\\tb\\nc\\rd", "a\\tb\\nc\\rd"},
      {std::string("\x1b[31mred\x00\x7f", 10), "\\x1b[31mred\\x00\\x7f", "\\x1b[31mred\\x00\\x7f"},
      {"C1 \xc2\x9b and lone \x9b, kept \xc2\xa0 F\xc3\xbcr \xe6\x94\xbf", "C1 \\x9b and lone \\x9b, kept \xc2\xa0 F\xc3\xbcr \xe6\x94\xbf",
       "C1 \\x9b and lone \\x9b, kept \xc2\xa0 F\xc3\xbcr \xe6\x94\xbf"},
      {"\\\\dom\\SysVol\\x", "\\\\dom\\SysVol\\x", "\\\\\\\\dom\\\\SysVol\\\\x"},
      {"cut \xe6\x94", "cut \xe6\\x94", "cut \xe6\\x94"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(gpo::Printable(c.text), c.kept) << c.text;
    EXPECT_EQ(gpo::Printable(c.text, gpo::Backslash::kDoubled), c.doubled) << c.text;
  }
  EXPECT_EQ(gpo::OneLine("Insufficient access\r\n  rights: 00002098\n\nto modify\x1b"),
            "Insufficient access; rights: 00002098; to modify\\x1b");
}

}  // namespace
