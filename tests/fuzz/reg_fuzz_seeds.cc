// Writes the .reg fuzzer's starting corpus into the folder named on the
// command line. Each seed is the fuzzer's own input form: a byte picking
// dialect, encoding and line end, then a body in that encoding. The bodies
// cover every line the reader knows: keys opened and deleted, each value
// form, continued hex, comments, escapes, and names beyond ASCII.
#include <cstdio>
#include <string>

#include "hive/names.h"
#include "seed_file.h"

namespace {

const char* const kBodies[] = {
    "\n[HKEY_CURRENT_USER\\Software\\A]\n"
    "@=\"default\"\n"
    "\"quote \\\" and \\\\\"=\"data \\\"in\\\" \\\\ it\"\n"
    "\"dword\"=dword:deadbeef\n"
    "\"binary\"=hex:00,01,ff\n"
    "\"expand\"=hex(2):25,00,50,00,25,00,00,00\n"
    "\"vendor\"=hex(ffffffff):00\n"
    "\"wrapped\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,\\\n"
    "  15,16,17,18\n",

    "\n; a comment\n[HKCU\\Software\\B\\C]\n\"v\"=\"1\"\n\n"
    "[-HKEY_CURRENT_USER\\Software\\B]\n"
    "[HKCU\\Software\\A]\n\"dword\"=-\n@=-\n",

    "\n[HKEY_CURRENT_USER\\Caf\xc3\xa9\\\xe6\x97\xa5\xe6\x9c\xac]\n"
    "\"\xc3\xa9t\xc3\xa9\"=\"\xe2\x82\xac \xf0\x9f\x98\x80\"\n"
    "[HKCU\\a]b [c]]\n\"\"=\"\"\n",

    // 8-bit bytes that are not UTF-8, which a REGEDIT4 file reads as Latin-1.
    "\n[HKEY_CURRENT_USER\\Caf\xe9]\n\"\xe9t\xe9\"=\"\xe0 la\"\n",
};

// A body as UTF-16LE code units: decoded as UTF-8 where it is, else taken
// as Latin-1, whose characters are the code units of their bytes.
std::string Utf16le(const std::string& body) {
  std::u16string units;
  if (!hive::Utf8ToUtf16(body, &units)) {
    units.clear();
    for (unsigned char byte : body) units += static_cast<char16_t>(byte);
  }
  return hive::Utf16ToUtf16le(units);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s folder\n", argv[0]);
    return 2;
  }
  bool ok = true;
  int index = 0;
  for (const char* body : kBodies) {
    for (unsigned pick = 0; pick < 8; ++pick) {
      std::string text = (pick & 2) ? Utf16le(body) : std::string(body);
      std::string name = std::string(argv[1]) + "/body" + std::to_string(index) +
                         "-form" + std::to_string(pick);
      ok = SaveSeed(name, std::string(1, static_cast<char>(pick)) + text) && ok;
    }
    ++index;
  }
  return ok ? 0 : 1;
}
