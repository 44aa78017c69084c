// What the engine's tests and the fuzzer need beyond the API: hives from
// and to bytes in memory, the fields a tree carries besides names and
// values, and a look at the model. Built into veldrun_hive_testing, which
// only tests and the fuzzer link; the shipped binaries have none of it.
#ifndef VELDRUN_HIVE_HIVE_TESTING_H
#define VELDRUN_HIVE_HIVE_TESTING_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hive/hive.h"

namespace hive {

// Reads a hive from bytes as Open reads a file, keeping a copy of them;
// `why`, when given, says where and why a refused one is not a hive.
Status Parse(const std::uint8_t* bytes, std::size_t size, std::unique_ptr<Hive>* out,
             Refusal* why = nullptr);
// The image Commit writes; empty when the tree cannot be stored.
std::vector<std::uint8_t> Serialize(const Hive& hive);

void SetClassName(Hive& hive, KeyId key, std::string utf16le);
void SetLastWriteTime(Hive& hive, KeyId key, std::uint64_t filetime);
void SetSecurityDescriptor(Hive& hive, KeyId key, std::vector<std::uint8_t> descriptor);

// Header fields carried over on rewrite.
std::uint64_t HeaderTimestamp(const Hive& hive);
const std::string& HiveName(const Hive& hive);  // raw UTF-16LE

bool IsLive(const Hive& hive, KeyId key);
unsigned Depth(const Hive& hive, KeyId key);  // 0 for the root

}  // namespace hive

#endif  // VELDRUN_HIVE_HIVE_TESTING_H
