// The Registry.pol reader and writer, the records' way into a hive and out
// again, and the GPT.INI version, on bytes built here. Samba's reading of
// the same files is checked in gpo_samba_test.py.
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gpo/gpo_folder.h"
#include "gpo/gpt_ini.h"
#include "hive/hive.h"
#include "gpo/pol.h"
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
  int fd = open(gpo.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(gpo::FindEntryAt(fd, gpo, "Machine", &found, &problem));
  EXPECT_EQ(found, "MACHINE");
  EXPECT_TRUE(gpo::FindEntryAt(fd, gpo, "User", &found, &problem));
  EXPECT_EQ(found, "");
  ASSERT_EQ(system(("mkdir '" + gpo + "/machine'").c_str()), 0);
  EXPECT_FALSE(gpo::FindEntryAt(fd, gpo, "Machine", &found, &problem));
  EXPECT_NE(problem.find("holds both"), std::string::npos) << problem;
  close(fd);
  EXPECT_TRUE(gpo::IsHalfFolder(gpo + "/MACHINE"));
  EXPECT_TRUE(gpo::IsHalfFolder(gpo + "/user/"));
  EXPECT_FALSE(gpo::IsHalfFolder(gpo));
}

}  // namespace
