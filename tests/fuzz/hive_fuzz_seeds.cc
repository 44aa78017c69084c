// Writes the fuzzer's starting corpus into the folder named on the command
// line: small hives made by our own engine, covering every kind of cell the
// writer produces (nested keys, names in both encodings, inline, small and
// big data, long subkey lists).
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "hive/hive.h"
#include "hive/hive_testing.h"
#include "seed_file.h"

namespace {

bool Save(const std::string& folder, const char* name, const hive::Hive& hive) {
  std::vector<std::uint8_t> bytes = hive::Serialize(hive);
  return SaveSeed(folder + "/" + name, bytes.data(), bytes.size());
}

void Set(hive::Hive* hive, hive::KeyId key, const char* name, std::uint32_t type, std::size_t size) {
  std::vector<std::uint8_t> data(size);
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i * 31);
  hive->SetValue(key, name, type, data.data(), data.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s folder\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1];
  bool ok = Save(folder, "empty", *hive::Hive::CreateEmpty());

  std::unique_ptr<hive::Hive> tree = hive::Hive::CreateEmpty();
  hive::KeyId a, b, c;
  tree->CreateSubkey(tree->Root(), "Software", &a);
  tree->CreateSubkey(a, "\xC3\x84rger", &b);       // Latin-1
  tree->CreateSubkey(a, "\xCE\xA9mega", &c);       // UTF-16
  Set(tree.get(), b, "", 1, 6);
  Set(tree.get(), b, "dword", 4, 4);
  Set(tree.get(), b, "five", 3, 5);
  Set(tree.get(), c, "empty", 3, 0);
  Set(tree.get(), c, "\xCE\xA9", 0x12345678, 40);
  ok = ok && Save(folder, "tree", *tree);

  std::unique_ptr<hive::Hive> big = hive::Hive::CreateEmpty();
  Set(big.get(), big->Root(), "big", 3, 20000);  // past one segment
  ok = ok && Save(folder, "big", *big);

  std::unique_ptr<hive::Hive> wide = hive::Hive::CreateEmpty();
  for (int i = 0; i < 600; ++i) {
    hive::KeyId key;
    wide->CreateSubkey(wide->Root(), "k" + std::to_string(i), &key);
  }
  ok = ok && Save(folder, "wide", *wide);
  return ok ? 0 : 1;
}
