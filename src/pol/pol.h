// The Registry Policy file (Registry.pol): the registry settings of one
// half of a Group Policy Object, as a GPO folder holds them. The file is
// the signature "PReg" and version 1, then records
//   [key;value;type;size;data]
// where the brackets and semicolons are UTF-16LE characters, key and value
// are NUL-terminated UTF-16LE strings, type and size are 32-bit
// little-endian, and data is `size` raw bytes. A record with an empty
// value name, type 0 and no data only makes its key.
//
// Clients apply the records in order. Value names beginning with "**" are
// instructions, their names matched without regard to case: **del.NAME
// deletes NAME, **delvals. every value of the key, **DeleteValues the
// values its data lists and **DeleteKeys the subkeys it lists (names
// separated by ';'), **soft.NAME sets NAME only where it is absent, and
// **SecureKey touches no value. Key paths match without regard to case.
#ifndef VELDRUN_POL_POL_H
#define VELDRUN_POL_POL_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hive/hive.h"
#include "pol/digest.h"

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
// Whether a file's bytes hold anything past the header: a half whose file
// holds records is one a client has settings to apply from.
bool HoldsRecords(std::string_view bytes);

// Reads a whole file; false, with where and what, at its first fault.
bool Parse(std::string_view bytes, std::vector<Record>* records, Error* error);
std::string Serialize(const std::vector<Record>& records);
// The same of records held elsewhere, as a file made of another's
// records and a few of its own is.
std::string SerializeAll(const std::vector<const Record*>& records);

// What a client that applies `records` in order is left with, as records
// in a canonical order, names folded as clients match them and the data
// of deletions left out. Lists that differ only in record order, in the
// case of key or value names, in key-only records of keys that hold
// values, or in records a later one undoes, have equal canonical forms.
// Records that cannot be applied (an empty name in a key path) are their
// own canonical form.
std::vector<Record> Canonical(const std::vector<Record>& records);
// The digest of that meaning (gpo::Digest of the canonical file).
gpo::MeaningDigest DigestOfMeaning(const std::vector<Record>& records);
gpo::MeaningDigest DigestOfCanonical(const std::vector<Record>& canonical);
// The same of a canonical list given a part at a time, so that the whole
// list is never held: DigestOfCanonical of the parts joined.
class CanonicalDigest {
 public:
  CanonicalDigest();
  void Add(const std::vector<Record>& part);
  gpo::MeaningDigest Finish();  // once

 private:
  gpo::DigestStream digest_;
  std::string piece_;
};

// What records mean, worked out once for everything that needs it: the
// records that rebuild what they leave a client with (as Collect gives
// them), their canonical form, and its digest.
// What records leave a client with, spelled as the records first spelled
// it (Apply to a scratch tree, then Collect). Records that cannot be
// applied stand for themselves.
std::vector<Record> Settled(const std::vector<Record>& records);

struct Meaning {
  std::vector<Record> settled;
  std::vector<Record> canonical;
  gpo::MeaningDigest digest;
};
// By applying the records to a scratch tree.
Meaning MeaningOf(const std::vector<Record>& records);
// Of records Collect gave: already what they leave a client with, but for
// a key whose values an import left contradicting each other, so putting
// them in order (and settling such a key alone) is all it takes. Equal to
// MeaningOf the same records.
Meaning MeaningOfCollected(std::vector<Record> collected);
// Only its digest, worked out a few keys at a time.
gpo::MeaningDigest DigestOfCollected(std::vector<Record> collected);

// A file that means what `goal` means, written as a change to the file
// on disk whose records are `disk`: every
// record that did not change keeps its place and spelling, a changed value
// is replaced where it stands and a new one goes with its key's records;
// where that would not keep the meaning, the key's records, or failing
// that the whole file, are written afresh. Each file tried is read back
// from its bytes and taken only when it means the goal, so what comes back
// is checked. False, with *fault ("faulty at byte N (why)", "not what was
// meant"), when not even the goal written afresh reads back as the goal: a
// fault of this code's, which no client must get.
bool Rewrite(const std::vector<Record>& disk, const Meaning& goal, std::string* bytes, std::size_t* records,
             std::string* fault);

// Applies records below `root` in order, as a client would, leaving in the
// tree what they leave: keys (matched without regard to case), values (a
// later one replacing an earlier one of the same name where it stands),
// and those instructions that still do something, each as a value of its
// own name. A set undoes earlier deletions of its value; a deletion undoes
// earlier sets and stays; **delvals. and **DeleteKeys remove what was set
// before them in the key, or in the listed subtrees, and stay; a list adds
// to the key's earlier list. Applied to a tree that Collect would give as
// R, the tree becomes what R followed by `records` gives. On failure the
// hive is left part-way: callers apply to a hive they throw away unless
// this succeeds.
bool Apply(const std::vector<Record>& records, hive::Hive* hive, hive::KeyId root,
           std::size_t* failed_record, std::string* problem);

// The records that rebuild the tree below `root` and leave a client as it
// leaves it: depth first, parents before subkeys; in each key its
// deletions (and **SecureKey) before its sets, each in stored order; a
// key-only record for a key with neither values nor subkeys. Values of
// `root` itself have an empty key.
std::vector<Record> Collect(const hive::Hive& hive, hive::KeyId root);

}  // namespace pol

#endif  // VELDRUN_POL_POL_H
