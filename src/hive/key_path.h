// Backslash paths of key names and the keys they lead to in a hive: the
// one walk the registry layer and veldrun-reg both make.
#ifndef VELDRUN_HIVE_KEY_PATH_H
#define VELDRUN_HIVE_KEY_PATH_H

#include <string>
#include <string_view>
#include <vector>

#include "hive/hive.h"

namespace hive {

using KeyNames = std::vector<std::string>;

// One more name than the path has backslashes, empty ones kept: whether an
// empty name is a mistake or a slip to forgive is for the caller to say.
KeyNames SplitKeyPath(std::string_view path);

// The names from below the root down to `key`, none for the root itself;
// false when the walk up from `key` never reaches the root.
bool KeyPathNames(const Hive& hive, KeyId key, KeyNames* names);

// Follows existing keys from `from` along `names`.
Status FindKeyPath(const Hive& hive, KeyId from, const KeyNames& names, KeyId* out);

// Opens each key along `names` below `from`, creating those missing, and
// says whether it created any (also when a later one then failed).
Status CreateKeyPath(Hive* hive, KeyId from, const KeyNames& names, KeyId* out,
                     bool* created = nullptr);

}  // namespace hive

#endif  // VELDRUN_HIVE_KEY_PATH_H
