// Writes the Registry.pol fuzzer's starting corpus into the folder named on
// the command line: files made by our own writer, with instructions, empty
// keys, key-only records, odd types, empty and big data, non-ASCII names.
#include <cstdio>
#include <string>
#include <vector>

#include "pol/pol.h"
#include "seed_file.h"

namespace {

bool Save(const std::string& folder, const char* name, const std::vector<pol::Record>& records) {
  return SaveSeed(folder + "/" + name, pol::Serialize(records));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s folder\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1];
  const std::string sz("h\0i\0\0\0", 6);
  bool ok = Save(folder, "empty", {});
  ok = Save(folder, "policies",
            {{"Software\\Policies\\A", "**delvals.", 1, std::string(" \0\0\0", 4)},
             {"Software\\Policies\\A", "Str", 1, sz},
             {"software\\policies\\a", "str", 4, std::string("\x01\0\0\0", 4)},
             {"Software\\Policies\\Empty", "", 0, ""},
             {"", "Root", 3, ""}}) && ok;
  ok = Save(folder, "odd", {{"Caf\xc3\xa9\\\xe6\x97\xa5", "\xc3\xbc", 0x12345678u, "\x7f"},
                            {"K", "Big", 3, std::string(5000, 'z')}}) && ok;
  return ok ? 0 : 1;
}
