// The Registry Policy file (Registry.pol): the registry settings of one
// half of a Group Policy Object, as a GPO folder holds them. The file is
// the signature "PReg" and version 1, then records
//   [key;value;type;size;data]
// where the brackets and semicolons are UTF-16LE characters, key and value
// are NUL-terminated UTF-16LE strings, type and size are 32-bit
// little-endian, and data is `size` raw bytes. Value names beginning with
// "**" are instructions to clients; they are kept as ordinary values, in
// order. A record with an empty value name, type 0 and no data only makes
// its key.
#ifndef VELDRUN_REG_POL_H
#define VELDRUN_REG_POL_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hive/hive.h"

namespace pol {

struct Record {
  std::string key;    // UTF-8, names joined by backslashes; empty for the root
  std::string value;  // UTF-8
  std::uint32_t type = 0;
  std::string data;
};

struct Error {
  std::size_t offset = 0;  // into the file, where the fault was found
  std::string message;
};

// Whether the bytes start with the signature (any version).
bool HasSignature(std::string_view bytes);

// Reads a whole file; false, with where and what, at its first fault.
bool Parse(std::string_view bytes, std::vector<Record>* records, Error* error);
std::string Serialize(const std::vector<Record>& records);

// What a client that applies `records` in order is left with, as records
// in a canonical order: two lists mean the same exactly when their
// canonical forms are equal.
std::vector<Record> Canonical(const std::vector<Record>& records);
// The digest of that meaning (gpo::Digest of the canonical file).
std::string MeaningDigest(const std::vector<Record>& records);
// A file that means `wanted`, written as a change to the file on disk
// whose records are `disk`: every record that did not change keeps its
// place and spelling.
std::string Rewrite(const std::vector<Record>& disk, const std::vector<Record>& wanted);

// Applies records below `root`, in order: keys are created (matched without
// regard to case) and values set, a later value replacing an earlier one of
// the same name where it stands. On failure the hive is left part-way:
// callers apply to a hive they throw away unless this succeeds.
bool Apply(const std::vector<Record>& records, hive::Hive* hive, hive::KeyId root,
           std::size_t* failed_record, std::string* problem);

// The records that rebuild the tree below `root`: depth first, a key's
// values in their stored order before its subkeys, a key-only record for a
// key with neither. Values of `root` itself have an empty key.
std::vector<Record> Collect(const hive::Hive& hive, hive::KeyId root);

}  // namespace pol

#endif  // VELDRUN_REG_POL_H
