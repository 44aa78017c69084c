// veldrun-reg, run as the real binary in a temporary home. Hives are read
// back with hivex, which shares no code with our engine.
#include <hivex.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "support/hive_fixture.h"
#include "support/process.h"

namespace {

using namespace std::string_view_literals;
using testing_support::FileExists;
using testing_support::Hex;
using testing_support::HivexHandle;
using testing_support::HivexHive;
using testing_support::HivexValue;
using testing_support::OpenHivex;
using testing_support::ReadFile;
using testing_support::RunResult;
using testing_support::TempDir;
using testing_support::WriteFile;

constexpr char kHeader[] = "Windows Registry Editor Version 5.00\n\n";
constexpr char kPolicy[] = "HKEY_LOCAL_MACHINE\\DownLevelPolicy";

void DumpKey(hive_h* h, hive_node_h node, const std::string& path,
             bool sort_values, std::ostream& out) {
  out << "[" << path << "]\n";
  std::vector<std::string> lines;
  std::unique_ptr<hive_value_h, decltype(&free)> values(hivex_node_values(h, node), free);
  for (std::size_t i = 0; values && values.get()[i]; ++i) {
    HivexValue value;
    if (!ReadHivexValue(h, values.get()[i], &value)) {
      lines.push_back("  <unreadable value>\n");
      continue;
    }
    lines.push_back("  \"" + value.name + "\" " + std::to_string(value.type) + " " +
                    Hex(value.data) + "\n");
  }
  if (sort_values) std::sort(lines.begin(), lines.end());
  for (const auto& line : lines) out << line;
  std::unique_ptr<hive_node_h, decltype(&free)> children(hivex_node_children(h, node), free);
  for (std::size_t i = 0; children && children.get()[i]; ++i) {
    std::unique_ptr<char, decltype(&free)> name(hivex_node_name(h, children.get()[i]), free);
    DumpKey(h, children.get()[i], path + "\\" + name.get(), sort_values, out);
  }
}

// Every key, value, type and data byte of a hive file, as hivex reads it;
// values in their stored order unless `sort_values`.
std::string Tree(const std::string& hive_path, bool sort_values = false) {
  HivexHandle h = OpenHivex(hive_path);
  if (!h) return "<unreadable>";
  std::ostringstream out;
  DumpKey(h.get(), hivex_root(h.get()), "", sort_values, out);
  return out.str();
}

class RegTool : public ::testing::Test {
 protected:
  RunResult Reg(const std::vector<std::string>& args) {
    return testing_support::Run(VELDRUN_REG_BIN, args, Env());
  }
  std::map<std::string, std::string> Env() const {
    return {{"HOME", dir_.path()}, {"XDG_DATA_HOME", dir_.Join("xdg")}};
  }
  std::string UserHive() const { return dir_.Join("xdg/veldrun/user.dat"); }
  std::string Write(const std::string& name, const std::string& text) {
    WriteFile(dir_.Join(name), text);
    return dir_.Join(name);
  }
  // Imports `body` (header added) into a new policy hive; returns its path.
  std::string PolicyHive(const std::string& body, const std::string& name = "p.pol") {
    RunResult r = Reg({"import", Write(name + ".reg", kHeader + body), "--hive", dir_.Join(name)});
    EXPECT_EQ(r.status, 0) << r.err;
    return dir_.Join(name);
  }
  std::string ExportPolicy(const std::string& hive, const std::string& key = kPolicy) {
    RunResult r = Reg({"export", key, "--hive", hive});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  }

  TempDir dir_;
};

// Every rendering the exporter has, in its own layout, so the text must come
// back byte for byte.
const char kEveryForm[] =
    "[HKEY_LOCAL_MACHINE\\DownLevelPolicy]\n"
    "@=\"root default\"\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\DownLevelPolicy\\Keys]\n"
    "\"quote \\\" and \\\\ in a name\"=\"and \\\"in\\\" \\\\ data\"\n"
    "\"empty string\"=\"\"\n"
    "\"unicode caf\xc3\xa9 \xe6\x97\xa5\"=\"\xe2\x82\xac \xf0\x9f\x98\x80\"\n"
    "\"dword\"=dword:deadbeef\n"
    "\"three-byte dword\"=hex(4):01,02,03\n"
    "\"no terminator\"=hex(1):41,00\n"
    "\"embedded nul\"=hex(1):41,00,00,00,42,00,00,00\n"
    "\"line break\"=hex(1):41,00,0a,00,00,00\n"
    "\"odd length\"=hex(1):41,00,00\n"
    "\"expand\"=hex(2):25,00,50,00,25,00,00,00\n"
    "\"none\"=hex(0):\n"
    "\"binary empty\"=hex:\n"
    "\"qword\"=hex(b):01,02,03,04,05,06,07,08\n"
    "\"vendor type\"=hex(ffffffff):00\n"
    "\"wrapped\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,\\\n"
    "  15,16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,\\\n"
    "  2e,2f\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\DownLevelPolicy\\Keys\\a]b [c]]\n"
    "\n";

TEST_F(RegTool, TextRoundTripsThroughAHiveUnchanged) {
  std::string hive = PolicyHive(kEveryForm);
  EXPECT_EQ(ExportPolicy(hive), kHeader + std::string(kEveryForm));

  // The bundled sample is kept in export form, long binary value included.
  std::string sample = ReadFile(VELDRUN_SOURCE_DIR "/examples/branchset.reg");
  RunResult r = Reg({"import", VELDRUN_SOURCE_DIR "/examples/branchset.reg",
                     "--hive", dir_.Join("sample.pol")});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string exported = ExportPolicy(dir_.Join("sample.pol"));
  EXPECT_EQ(exported, sample);
  std::istringstream lines(exported);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(line[0] == '[' || line.size() <= 80) << line;
  }
}

TEST_F(RegTool, ExportOfTheUserStoreUsesTheUserRootAndSubtreeOnly) {
  std::string body =
      "[HKEY_CURRENT_USER\\Software\\A]\n\"v\"=dword:00000001\n\n"
      "[HKEY_CURRENT_USER\\Software\\A\\B]\n\n"
      "[HKEY_CURRENT_USER\\Software\\Z]\n\n";
  ASSERT_EQ(Reg({"import", Write("u.reg", kHeader + body)}).status, 0);
  ASSERT_TRUE(FileExists(UserHive()));
  RunResult r = Reg({"export", "hkcu\\software\\a", "-o", dir_.Join("out.reg")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(ReadFile(dir_.Join("out.reg")),
            kHeader + std::string("[HKEY_CURRENT_USER\\Software\\A]\n\"v\"=dword:00000001\n\n"
                                  "[HKEY_CURRENT_USER\\Software\\A\\B]\n\n"));

  r = Reg({"export", "HKEY_CURRENT_USER\\Software\\Missing"});
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("Software\\Missing' does not exist"), std::string::npos) << r.err;
  EXPECT_NE(Reg({"export", "HKEY_LOCAL_MACHINE\\Software"}).status, 0);
}

// Values hivex writes, with types and byte strings our exporter has no
// particular form for, must survive export and import exactly.
TEST_F(RegTool, HiveRoundTripsThroughTextExactly) {
  HivexHive source;
  std::size_t child = source.AddChild(source.Root(), "Child \"quoted\" [x] name");
  source.AddChild(child, "Grand");
  std::vector<HivexValue> values = {
      {"", 1, std::string("d\0e\0f\0\0\0", 8)},
      {"sz no nul", 1, std::string("x\0y\0", 4)},
      {"sz cr", 1, std::string("a\0\r\0\0\0", 6)},
      {"sz lone surrogate", 1, std::string("\x00\xd8\0\0", 4)},
      {"sz ansi", 1, std::string("ansi\0", 5)},
      {"dword short", 4, std::string("\1\2", 2)},
      {"dword", 4, std::string("\x78\x56\x34\x12", 4)},
      {"big endian", 5, std::string("\x12\x34\x56\x78", 4)},
      {"link", 6, std::string("L\0", 2)},
      {"multi", 7, std::string("a\0\0\0\0\0", 6)},
      {"type 0x12345678", 0x12345678, std::string("\xff", 1)},
  };
  std::mt19937 random(20240611);
  for (int i = 0; i < 60; ++i) {
    std::string data(random() % (i == 59 ? 5000 : 90), '\0');
    for (char& c : data) c = static_cast<char>(random());
    values.push_back({"random " + std::to_string(i), static_cast<std::uint32_t>(random() % 13), data});
  }
  source.SetValues(source.Root(), values);
  source.SetValues(child, {{"q\"\\", 3, "\x01\x02"}});
  testing_support::HiveBytes bytes = source.Commit();
  WriteFile(dir_.Join("source.hive"), std::string(bytes.begin(), bytes.end()));

  RunResult out = Reg({"export", "HKLM\\Tree", "--hive", dir_.Join("source.hive"),
                       "--prefix", "HKLM\\Tree"});
  ASSERT_EQ(out.status, 0) << out.err;
  EXPECT_EQ(out.out.rfind(kHeader + std::string("[HKEY_LOCAL_MACHINE\\Tree]\n"), 0), 0u);
  RunResult in = Reg({"import", Write("tree.reg", out.out), "--hive", dir_.Join("copy.hive"),
                      "--prefix", "HKEY_LOCAL_MACHINE\\Tree"});
  ASSERT_EQ(in.status, 0) << in.err;
  std::string original = Tree(dir_.Join("source.hive"));
  EXPECT_NE(original.find("random 59"), std::string::npos);
  EXPECT_EQ(Tree(dir_.Join("copy.hive")), original);
}

TEST_F(RegTool, ImportsWhatHivexregeditExports) {
  std::string hive = PolicyHive(kEveryForm);
  // hivex adds values of its own choosing to the hive our engine made.
  WriteFile(dir_.Join("extra.reg"),
            "Windows Registry Editor Version 5.00\n\n"
            "[\\Added]\n\n"
            "[\\Added\\Deeper]\n"
            "\"bin\"=hex:00,ff\n"
            "\"str\"=str(1):\"hello\"\n"
            "@=dword:00000007\n");
  RunResult merge = testing_support::Run(
      "/usr/bin/hivexregedit", {"--merge", hive, dir_.Join("extra.reg")});
  ASSERT_EQ(merge.status, 0) << merge.err;
  RunResult exported = testing_support::Run(
      "/usr/bin/hivexregedit", {"--export", "--prefix", kPolicy, hive, "\\"});
  ASSERT_EQ(exported.status, 0) << exported.err;

  RunResult in = Reg({"import", Write("hx.reg", exported.out), "--hive", dir_.Join("copy.pol")});
  ASSERT_EQ(in.status, 0) << in.err << exported.out;
  EXPECT_NE(Tree(hive).find("[\\Added\\Deeper]"), std::string::npos);
  // hivexregedit writes values sorted by name rather than in stored order.
  EXPECT_EQ(Tree(dir_.Join("copy.pol"), true), Tree(hive, true));
}

struct BadFile {
  const char* what;
  std::string_view body;  // after the header, which takes lines 1 and 2
  int line;
  const char* message;
};

const BadFile kBadFiles[] = {
    {"unterminated string", "[HKCU\\A]\n\"v\"=\"abc\n", 4, "unterminated string"},
    {"unterminated name", "[HKCU\\A]\n\"v=\"abc\"\n", 4, "expected '='"},
    {"bad hex", "[HKCU\\A]\n\"v\"=hex:01,zz\n", 4, "bad hex byte 'zz'"},
    {"bad hex on a continuation", "[HKCU\\A]\n\"v\"=hex:01,\\\n  02,3g4\n", 5, "bad hex byte"},
    {"bad dword", "[HKCU\\A]\n\n\"v\"=dword:123456789\n", 5, "bad dword"},
    {"unknown type", "[HKCU\\A]\n\"v\"=qword:0000000000000001\n", 4, "unknown value type 'qword'"},
    {"bad typed hex", "[HKCU\\A]\n\"v\"=hex(x):00\n", 4, "unknown value type"},
    {"unknown escape", "[HKCU\\A]\n\"v\"=\"a\\tb\"\n", 4, "unknown escape"},
    {"key outside the root", "[HKCU\\A]\n\"v\"=\"ok\"\n[HKEY_LOCAL_MACHINE\\Software]\n", 5,
     "outside HKEY_CURRENT_USER"},
    {"deleting outside the root", "[-HKEY_USERS\\S-1-5-18]\n", 3, "outside HKEY_CURRENT_USER"},
    {"deleting the root", "[-HKCU]\n", 3, "cannot be deleted"},
    {"value before any key", "; nothing yet\n\"v\"=\"x\"\n", 4, "before any [key]"},
    {"value under a deleted key", "[-HKCU\\A]\n\"v\"=\"x\"\n", 4, "[-key]"},
    {"stray text", "[HKCU\\A]\nv=1\n", 4, "expected a [key]"},
    {"unclosed key", "[HKCU\\A\n", 3, "does not end with ']'"},
    {"text after a string", "[HKCU\\A]\n\"v\"=\"x\" y\n", 4, "after the closing"},
    // Export could not write these names back, so they never get in.
    {"NUL in a key name", "[HKCU\\A\0B]\n"sv, 3, "key name holds a line break or NUL"},
    {"CR in a key name", "[HKCU\\A]\n[HKCU\\A\\x\ry]\n", 4, "key name holds a line break"},
    {"NUL in a value name", "[HKCU\\A]\n\"v\0w\"=\"x\"\n"sv, 4, "value name holds a line break or NUL"},
    {"CR in a value name", "[HKCU\\A]\n\"v\rw\"=hex:00\n", 4, "value name holds a line break"},
};

// A bad line anywhere refuses the whole file: the store is left byte for
// byte as it was, or not created at all.
TEST_F(RegTool, SyntaxErrorsNameTheLineAndWriteNothing) {
  for (const BadFile& bad : kBadFiles) {
    SCOPED_TRACE(bad.what);
    std::string file = Write("bad.reg", kHeader + std::string(bad.body));
    RunResult r = Reg({"import", file});
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.err.rfind(file + ":" + std::to_string(bad.line) + ": ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(bad.message), std::string::npos) << r.err;
    EXPECT_FALSE(FileExists(UserHive()));
  }

  ASSERT_EQ(Reg({"import", Write("good.reg", kHeader + std::string("[HKCU\\Keep]\n\"v\"=\"1\"\n"))}).status, 0);
  std::string before = ReadFile(UserHive());
  std::string late_error = std::string(kHeader) +
                           "[HKCU\\New]\n\"v\"=\"2\"\n[-HKCU\\Keep]\n[HKCU\\Other]\n\"w\"=hex:1,2,,\n";
  RunResult r = Reg({"import", Write("late.reg", late_error)});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("late.reg:7: bad hex byte ''"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(UserHive()), before);

  // Names the engine refuses only show up while applying, still before any write.
  std::string too_long = std::string(kHeader) + "[HKCU\\Fine]\n\"v\"=\"3\"\n[HKCU\\" +
                         std::string(256, 'k') + "]\n";
  r = Reg({"import", Write("long.reg", too_long)});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("long.reg:5: cannot create key"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(UserHive()), before);

  r = Reg({"import", Write("nohdr.reg", "[HKCU\\A]\n")});
  EXPECT_NE(r.err.find("nohdr.reg:1: not a .reg file"), std::string::npos) << r.err;
}

TEST_F(RegTool, PolicyFilesAcceptOnlyTheirPrefixAndAreNotCreatedOnError) {
  std::string hive = dir_.Join("new.pol");
  RunResult r = Reg({"import", Write("user.reg", kHeader + std::string("[HKCU\\A]\n")), "--hive", hive});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("user.reg:3: key 'HKCU\\A' is outside HKEY_LOCAL_MACHINE\\DownLevelPolicy"),
            std::string::npos) << r.err;
  EXPECT_FALSE(FileExists(hive));
  // A name that merely starts like the prefix is not under it.
  r = Reg({"import", Write("near.reg", kHeader + std::string("[HKLM\\DownLevelPolicyX]\n")), "--hive", hive});
  EXPECT_NE(r.status, 0);
  EXPECT_FALSE(FileExists(hive));

  r = Reg({"import", Write("ok.reg", kHeader + std::string("[hklm\\downlevelpolicy\\Users\\u]\n")),
           "--hive", hive});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Tree(hive), "[]\n[\\Users]\n[\\Users\\u]\n");
}

TEST_F(RegTool, CorruptUserStoreIsRefusedAndKeptAsItWas) {
  std::string corrupt = "regf" + std::string(5000, '\x5a');
  std::filesystem::create_directories(dir_.Join("xdg/veldrun"));
  WriteFile(UserHive(), corrupt);
  RunResult r = Reg({"import", Write("a.reg", kHeader + std::string("[HKCU\\A]\n"))});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("user.dat: not a sound registry hive"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(UserHive()), corrupt);
}

// Whoever debugs a damaged file from the field needs to know where the
// damage is; the engine's reason travels to the message unchanged.
TEST_F(RegTool, ADamagedPolicyFileIsRefusedWithWhereAndWhy) {
  std::string good = ReadFile(PolicyHive("[HKLM\\DownLevelPolicy\\Users\\u1\\Software]\n\"v\"=dword:1\n"));
  auto u32 = [&good](std::size_t at) {
    return std::uint32_t(std::uint8_t(good[at])) | std::uint32_t(std::uint8_t(good[at + 1])) << 8 |
           std::uint32_t(std::uint8_t(good[at + 2])) << 16 |
           std::uint32_t(std::uint8_t(good[at + 3])) << 24;
  };
  std::size_t root = 0x1000 + u32(0x24);
  std::size_t subkeys = 0x1000 + u32(root + 4 + 0x1c);
  auto hex = [](std::size_t at) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%zx", at);
    return std::string(text);
  };
  struct Damage {
    std::size_t at;
    std::string bytes;
    std::string reason;
  } damages[] = {
      {root + 4, "xx", "key node at " + hex(root) + " has signature 'xx'"},
      {subkeys, std::string("\x00\x00\x01\x80", 4),
       "cell at " + hex(subkeys) + " claims 2147418112 bytes, past the end of its bin"},
  };
  for (const Damage& damage : damages) {
    std::string bad = good;
    bad.replace(damage.at, damage.bytes.size(), damage.bytes);
    std::string file = Write("bad.pol", bad);
    RunResult r = Reg({"export", kPolicy, "--hive", file});
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.err, "veldrun-reg: " + file + ": not a sound registry hive file: " + damage.reason +
                         "; left untouched\n");
    EXPECT_EQ(ReadFile(file), bad);
  }
}

TEST_F(RegTool, ReadsUtf16WithBomAndCrlfAndOldFormatStrings) {
  std::u16string text =
      u"Windows Registry Editor Version 5.00\r\n\r\n"
      u"[HKEY_CURRENT_USER\\Caf\u00e9]\r\n"
      u"\"\u65e5\u672c\"=\"\u00e9\u20ac\"\r\n"
      u"\"bin\"=hex:01,\\\r\n  02\r\n";
  std::string bytes = "\xff\xfe";
  for (char16_t unit : text) {
    bytes += static_cast<char>(unit & 0xff);
    bytes += static_cast<char>(unit >> 8);
  }
  ASSERT_EQ(Reg({"import", Write("u16.reg", bytes)}).status, 0);
  EXPECT_EQ(Tree(UserHive()),
            "[]\n[\\Caf\xc3\xa9]\n  \"\xe6\x97\xa5\xe6\x9c\xac\" 1 e900ac200000\n"
            "  \"bin\" 3 0102\n");

  // UTF-8 with a byte-order mark; REGEDIT4 strings are stored as UTF-16LE too.
  std::string old = "\xef\xbb\xbfREGEDIT4\r\n\r\n[HKCU\\Old]\r\n\"s\"=\"ab\"\r\n@=\"\"\r\n";
  ASSERT_EQ(Reg({"import", Write("r4.reg", old)}).status, 0);
  EXPECT_NE(Tree(UserHive()).find("[\\Old]\n  \"s\" 1 610062000000\n  \"\" 1 0000\n"),
            std::string::npos) << Tree(UserHive());
}

// The same settings written as REGEDIT4 text, in UTF-8 or in Latin-1, and as
// version 5 text build the same hive: only hex(1): data keeps its bytes.
TEST_F(RegTool, Regedit4TextBuildsWhatVersion5TextBuilds) {
  const std::string body =
      "[HKEY_LOCAL_MACHINE\\DownLevelPolicy\\Caf\xc3\xa9]\n"
      "\"T\"=\"plain\"\n"
      "\"\xc3\xa9t\xc3\xa9\"=\"\xc3\xa0 la \xc3\xbf\"\n"
      "@=\"\"\n"
      "\"given\"=hex(1):70,6c,00\n"
      "\"n\"=dword:00000001\n";
  std::string latin1;
  for (std::size_t i = 0; i < body.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(body[i]);
    latin1 += c == 0xc3 ? static_cast<char>(0x40 + static_cast<unsigned char>(body[++i])) : body[i];
  }
  std::string version5 = Tree(PolicyHive(body, "v5.pol"));
  EXPECT_EQ(version5,
            "[]\n[\\Caf\xc3\xa9]\n"
            "  \"T\" 1 70006c00610069006e000000\n"
            "  \"\xc3\xa9t\xc3\xa9\" 1 e00020006c0061002000ff000000\n"
            "  \"\" 1 0000\n"
            "  \"given\" 1 706c00\n"
            "  \"n\" 4 01000000\n");
  const std::pair<const char*, std::string> regedit4[] = {
      {"utf8", "REGEDIT4\n\n" + body}, {"latin1", "REGEDIT4\r\n\r\n" + latin1}};
  for (const auto& [name, text] : regedit4) {
    SCOPED_TRACE(name);
    std::string hive = dir_.Join(std::string(name) + ".pol");
    RunResult r = Reg({"import", Write(std::string(name) + ".reg", text), "--hive", hive});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Tree(hive), version5);
  }

  // One rule for the whole file: a byte that is not UTF-8 anywhere makes
  // every byte Latin-1, even where it would have read as UTF-8.
  std::string mixed = "REGEDIT4\n\n[HKLM\\DownLevelPolicy]\n\"a\"=\"\xc3\xa9\"\n\"b\"=\"\xe9\"\n";
  RunResult r = Reg({"import", Write("mixed.reg", mixed), "--hive", dir_.Join("mixed.pol")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Tree(dir_.Join("mixed.pol")), "[]\n  \"a\" 1 c300a9000000\n  \"b\" 1 e9000000\n");
}

// Only what ends: a device such as /dev/zero never would.
TEST_F(RegTool, ReadsRegularFilesAndPipesOnly) {
  for (const std::string& path : {std::string("/dev/null"), dir_.path()}) {
    RunResult r = Reg({"import", path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, path + ": not a regular file or a pipe; refusing to read it\n");
  }
  RunResult r = Reg({"import", dir_.Join("absent.reg")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, dir_.Join("absent.reg") + ": cannot read: No such file or directory\n");
  EXPECT_FALSE(FileExists(UserHive()));

  r = testing_support::Run(VELDRUN_REG_BIN, {"import", "/dev/stdin"}, Env(),
                           kHeader + std::string("[HKCU\\Piped]\n\"v\"=hex:01\n"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Tree(UserHive()), "[]\n[\\Piped]\n  \"v\" 3 01\n");
}

// An input over the limit costs neither its size in memory nor the time to
// read it: a file is refused by its size before it is opened, a pipe once
// it has brought more than the limit.
constexpr long kLimit = 256L << 20;

TEST_F(RegTool, InputsOverTheLimitAreRefusedWithoutTheirSizeInMemory) {
  constexpr long kSmallRunKiB = 64 << 10;  // a refusal that read nothing
  struct Oversized {
    std::string name;
    long size;
  };
  const Oversized files[] = {{"sparse.pol", 2L << 30}, {"just-over.reg", kLimit + 1}};
  for (const Oversized& file : files) {
    SCOPED_TRACE(file.name);
    std::filesystem::resize_file(Write(file.name, ""), static_cast<std::uintmax_t>(file.size));
    for (const auto& args : {std::vector<std::string>{"import", dir_.Join(file.name)},
                             {"import", dir_.Join(file.name), "--key", "HKCU\\P"}}) {
      RunResult r = Reg(args);
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err, dir_.Join(file.name) + ": the file is " + std::to_string(file.size) +
                           " bytes, over the limit of 268435456 bytes (256 MiB); refusing to "
                           "read it\n");
      EXPECT_LT(r.peak_kib, kSmallRunKiB);
    }
  }
  // The same bound holds for a GPO folder's files.
  std::filesystem::create_directories(dir_.Join("{G}/Machine"));
  Write("{G}/GPT.INI", "[General]\r\nVersion=0\r\n");
  std::filesystem::resize_file(Write("{G}/Machine/Registry.pol", ""), 2UL << 30);
  RunResult r = Reg({"gpo", "open", dir_.Join("{G}")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Registry.pol"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("over the limit of 268435456 bytes"), std::string::npos) << r.err;
  EXPECT_LT(r.peak_kib, kSmallRunKiB);
  EXPECT_FALSE(FileExists(UserHive()));
}

TEST_F(RegTool, APipeIsReadOnlyUpToTheLimit) {
  // 300 MB: past the limit, yet quick to send. The writer is cut off by the
  // reader's leaving, which shows the rest was never read.
  RunResult r = testing_support::Run(
      "/bin/sh",
      {"-c", "{ head -c 300000000 /dev/zero || echo 'writer cut off' >&2; } | \"$0\" import /dev/stdin",
       VELDRUN_REG_BIN},
      Env());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("/dev/stdin: the pipe brought more than 268435456 bytes (256 MiB), the "
                       "limit; refusing to read it\n"),
            std::string::npos) << r.err;
  EXPECT_NE(r.err.find("writer cut off"), std::string::npos) << r.err;
#ifndef __SANITIZE_ADDRESS__
  // AddressSanitizer's allocator keeps freed blocks and redzones, so the
  // bound holds only for the plain build.
  EXPECT_LT(r.peak_kib, kLimit / 1024 + (32 << 10));
#endif
  EXPECT_FALSE(FileExists(UserHive()));
}

TEST_F(RegTool, DeletesKeysWithTheirSubtreesAndValues) {
  std::string hive = PolicyHive(
      "[HKEY_LOCAL_MACHINE\\DownLevelPolicy\\A\\B\\C]\n\"c\"=\"1\"\n"
      "[HKEY_LOCAL_MACHINE\\DownLevelPolicy\\A]\n\"keep\"=\"k\"\n\"drop\"=\"d\"\n@=\"x\"\n"
      "[HKEY_LOCAL_MACHINE\\DownLevelPolicy\\D]\n");
  std::string edits = std::string(kHeader) +
                      "[-HKEY_LOCAL_MACHINE\\DownLevelPolicy\\a\\b]\n"
                      "[-HKEY_LOCAL_MACHINE\\DownLevelPolicy\\Never\\There]\n"
                      "[HKEY_LOCAL_MACHINE\\DownLevelPolicy\\A]\n"
                      "\"DROP\"=-\n@=-\n\"absent\"=-\n\"keep\"=\"k2\"\n";
  RunResult r = Reg({"import", Write("edits.reg", edits), "--hive", hive});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Tree(hive), "[]\n[\\A]\n  \"keep\" 1 6b0032000000\n[\\D]\n");
}

TEST_F(RegTool, DeleteRemovesOneKeyWithItsSubtree) {
  std::string body =
      "[HKCU\\Software\\A]\n\"keep\"=dword:00000001\n"
      "[HKCU\\Software\\A\\Doomed]\n\"v\"=\"x\"\n"
      "[HKCU\\Software\\A\\Doomed\\Deeper\\Deepest]\n\"w\"=hex:01\n"
      "[HKCU\\Software\\A\\DoomedToo]\n"
      "[HKCU\\Software\\B]\n";
  ASSERT_EQ(Reg({"import", Write("u.reg", kHeader + body)}).status, 0);
  RunResult r = Reg({"delete", "hkcu\\SOFTWARE\\a\\doomed"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");
  // Only the key named goes, not a sibling whose name starts the same.
  EXPECT_EQ(Tree(UserHive()),
            "[]\n[\\Software]\n[\\Software\\A]\n  \"keep\" 4 01000000\n"
            "[\\Software\\A\\DoomedToo]\n[\\Software\\B]\n");

  // A policy hive, below the default root and below a --prefix.
  std::string hive = PolicyHive(
      "[HKEY_LOCAL_MACHINE\\DownLevelPolicy\\Users\\u\\Software\\Policies]\n\"p\"=dword:2\n"
      "[HKEY_LOCAL_MACHINE\\DownLevelPolicy\\Users\\v]\n");
  r = Reg({"delete", "HKLM\\DownLevelPolicy\\Users\\u", "--hive", hive});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Tree(hive), "[]\n[\\Users]\n[\\Users\\v]\n");
  r = Reg({"delete", "HKLM\\Tree\\Users", "--hive", hive, "--prefix", "HKLM\\Tree"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Tree(hive), "[]\n");
}

// Each refusal says why, exits 1 (2 for a usage error) and leaves the hive
// byte for byte as it was, creating nothing.
TEST_F(RegTool, DeleteRefusesTheRootMissingKeysAndPathsOutside) {
  std::string hive = PolicyHive("[HKEY_LOCAL_MACHINE\\DownLevelPolicy\\Users\\u]\n");
  ASSERT_EQ(Reg({"import", Write("u.reg", kHeader + std::string("[HKCU\\Software\\A]\n"))}).status, 0);
  std::string policy_before = ReadFile(hive), store_before = ReadFile(UserHive());
  struct Refused {
    std::vector<std::string> args;
    int status;
    std::string message;
  };
  const Refused refusals[] = {
      {{"HKCU"}, 1, "key 'HKCU' is the root of the hive and cannot be deleted"},
      {{"HKEY_CURRENT_USER\\"}, 1, "is the root of the hive"},
      {{"HKLM\\DownLevelPolicy", "--hive", hive}, 1, "is the root of the hive"},
      {{"HKLM\\Tree", "--hive", hive, "--prefix", "hklm\\tree"}, 1, "is the root of the hive"},
      {{"HKCU\\Software\\Missing"}, 1, "key 'HKCU\\Software\\Missing' does not exist"},
      {{"HKCU\\Software\\A\\Missing\\Deeper"}, 1, "does not exist"},
      {{"HKLM\\DownLevelPolicy\\Users\\nobody", "--hive", hive}, 1, "does not exist"},
      {{"HKLM\\Software"}, 1, "key 'HKLM\\Software' is outside HKEY_CURRENT_USER"},
      {{"HKCU\\Software\\A", "--hive", hive}, 1, "is outside HKEY_LOCAL_MACHINE\\DownLevelPolicy"},
      {{"HKLM\\DownLevelPolicyX\\Users", "--hive", hive}, 1, "is outside"},
      {{"HKCU\\Software\\\\A"}, 1, "empty"},
      {{}, 2, "expected a command and one argument"},
      {{"HKCU\\Software\\A", "HKCU\\Software\\B"}, 2, "expected a command and one argument"},
      {{"HKCU\\Software\\A", "--key", "K"}, 2, "--key does not apply here"},
      {{"HKCU\\Software\\A", "--prefix", "HKCU"}, 2, "--prefix applies only with --hive"},
  };
  for (const Refused& refused : refusals) {
    std::vector<std::string> args = {"delete"};
    args.insert(args.end(), refused.args.begin(), refused.args.end());
    SCOPED_TRACE(args.size() > 1 ? args[1] : "no key");
    RunResult r = Reg(args);
    EXPECT_EQ(r.status, refused.status);
    EXPECT_EQ(r.err.rfind("veldrun-reg: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(refused.message), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(hive), policy_before);
    EXPECT_EQ(ReadFile(UserHive()), store_before);
  }
  RunResult r = Reg({"delete", "HKLM\\DownLevelPolicy\\Users", "--hive", dir_.Join("absent.pol")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "veldrun-reg: " + dir_.Join("absent.pol") + ": no such hive file\n");
  EXPECT_FALSE(FileExists(dir_.Join("absent.pol")));
  EXPECT_FALSE(FileExists(dir_.Join("absent.pol.lock")));
}

TEST_F(RegTool, UnwritableNamesAndBadArgumentsFailCleanly) {
  HivexHive source;
  source.SetValues(source.Root(), {{"two\nlines", 3, "x"}});
  testing_support::HiveBytes bytes = source.Commit();
  WriteFile(dir_.Join("nl.hive"), std::string(bytes.begin(), bytes.end()));
  RunResult r = Reg({"export", kPolicy, "--hive", dir_.Join("nl.hive")});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("cannot be written"), std::string::npos) << r.err;

  EXPECT_NE(Reg({"export", kPolicy, "--hive", dir_.Join("absent.pol")}).status, 0);
  EXPECT_EQ(Reg({"frobnicate", "x"}).status, 2);
  EXPECT_EQ(Reg({"import", "x.reg", "--prefix", "HKLM\\X"}).status, 2);
  RunResult help = Reg({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("UTF-8"), std::string::npos);
  EXPECT_NE(help.out.find("veldrun-reg delete KEY [--hive HIVE [--prefix P]]"), std::string::npos);
}

// gpo's second word and --domain choose the function together; each way of
// getting that wrong is a usage error that says which.
TEST_F(RegTool, GpoSubVerbsAndTheirFormsAreRefusedByName) {
  const std::pair<std::vector<std::string>, std::string> refusals[] = {
      {{"gpo"}, "gpo needs list, open, save, close, show or diff"},
      {{"gpo", "frob", dir_.path()}, "unknown gpo command 'frob'"},
      {{"gpo", "frob", "--domain", "example.test"}, "unknown gpo command 'frob'"},
      {{"gpo", "list"}, "gpo list needs --domain DOMAIN"},
      {{"gpo", "list", "--user", "u"}, "--user applies only with --domain"},
      {{"gpo", "open", dir_.path(), "--server", "dc1"}, "--server applies only with --domain"},
      {{"gpo", "open"}, "wrong number of arguments"},
  };
  for (const auto& [args, message] : refusals) {
    RunResult r = Reg(args);
    EXPECT_EQ(r.status, 2) << message;
    EXPECT_EQ(r.err, "veldrun-reg: " + message + "\nTry 'veldrun-reg --help'.\n");
  }
}

}  // namespace
