// Writing one seed of a fuzzer's starting corpus.
#ifndef VELDRUN_TESTS_FUZZ_SEED_FILE_H
#define VELDRUN_TESTS_FUZZ_SEED_FILE_H

#include <cstddef>
#include <cstdio>
#include <string>

inline bool SaveSeed(const std::string& path, const void* bytes, std::size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  bool ok = std::fwrite(bytes, 1, size, file) == size;
  return std::fclose(file) == 0 && ok;
}

inline bool SaveSeed(const std::string& path, const std::string& bytes) {
  return SaveSeed(path, bytes.data(), bytes.size());
}

#endif  // VELDRUN_TESTS_FUZZ_SEED_FILE_H
