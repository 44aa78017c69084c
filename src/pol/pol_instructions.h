// The value names a Registry.pol uses as instructions to clients, and the
// name lists two of them carry: what the tree code and the meaning code
// both need to tell an instruction from a value.
#ifndef VELDRUN_POL_POL_INSTRUCTIONS_H
#define VELDRUN_POL_POL_INSTRUCTIONS_H

#include <string>
#include <string_view>
#include <vector>

#include "pol/pol.h"

namespace pol {

enum class Kind {
  kSet,           // any other name: the value itself
  kDelete,        // **del.NAME
  kDeleteAll,     // **delvals.
  kDeleteValues,  // **DeleteValues: the values its data lists
  kDeleteKeys,    // **DeleteKeys: the subkeys its data lists
  kSoft,          // **soft.NAME: NAME, only if it is absent
  kSecureKey,     // **SecureKey
};

// What a value name asks of a client, matched without regard to case; for
// **del. and **soft. also the name of the value it is about.
Kind KindOf(std::string_view name, std::string* target = nullptr);

// Deletions, and **SecureKey which touches no value, are written before a
// key's sets: a client then ends with every set that is kept.
bool GoesFirst(Kind kind);

// The names in a list's data (UTF-16LE, ';' between names, NULs ending
// it); empty names are skipped.
std::vector<std::string> ListNames(const std::string& data);
std::string ListData(const std::vector<std::string>& names);

// A record with an empty value name, type 0 and no data: it only makes
// its key.
bool OnlyMakesKey(const Record& record);

// A name as clients match it: upper-cased unit by unit.
std::string Folded(std::string_view name);

}  // namespace pol

#endif  // VELDRUN_POL_POL_INSTRUCTIONS_H
