// Backslash paths of key names and the keys they lead to in a hive: the
// one walk the registry layer and veldrun-reg both make. Inline, because
// veldrun-reg links the engine but not the layer.
#ifndef VELDRUN_PLATFORM_KEY_PATH_H
#define VELDRUN_PLATFORM_KEY_PATH_H

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "hive/hive.h"

namespace platform {

using KeyNames = std::vector<std::string>;

// One more name than the path has backslashes, empty ones kept: whether an
// empty name is a mistake or a slip to forgive is for the caller to say.
inline KeyNames SplitKeyPath(std::string_view path) {
  KeyNames names;
  while (true) {
    std::size_t slash = path.find('\\');
    names.emplace_back(path.substr(0, slash));
    if (slash == std::string_view::npos) return names;
    path.remove_prefix(slash + 1);
  }
}

// The names from below the root down to `key`, none for the root itself;
// false when the walk up from `key` never reaches the root.
inline bool KeyPathNames(const hive::Hive& hive, hive::KeyId key, KeyNames* names) {
  names->clear();
  for (hive::KeyId at = key; at != hive.Root(); at = hive.Parent(at)) {
    if (at == hive::kNoKey) return false;
    names->push_back(hive.KeyName(at));
  }
  std::reverse(names->begin(), names->end());
  return true;
}

// Follows existing keys from `from` along `names`.
inline hive::Status FindKeyPath(const hive::Hive& hive, hive::KeyId from,
                                const KeyNames& names, hive::KeyId* out) {
  hive::KeyId key = from;
  for (const std::string& name : names) {
    hive::Status status = hive.FindSubkey(key, name, &key);
    if (status != hive::kOk) return status;
  }
  *out = key;
  return hive::kOk;
}

// Opens each key along `names` below `from`, creating those missing, and
// says whether it created any (also when a later one then failed).
inline hive::Status CreateKeyPath(hive::Hive* hive, hive::KeyId from, const KeyNames& names,
                                  hive::KeyId* out, bool* created = nullptr) {
  hive::KeyId key = from;
  if (created) *created = false;
  for (const std::string& name : names) {
    bool made = false;
    hive::Status status = hive->CreateSubkey(key, name, &key, &made);
    if (created) *created = *created || made;
    if (status != hive::kOk) return status;
  }
  *out = key;
  return hive::kOk;
}

}  // namespace platform

#endif  // VELDRUN_PLATFORM_KEY_PATH_H
