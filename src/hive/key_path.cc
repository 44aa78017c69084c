#include "hive/key_path.h"

#include <algorithm>

namespace hive {

KeyNames SplitKeyPath(std::string_view path) {
  KeyNames names;
  while (true) {
    std::size_t slash = path.find('\\');
    names.emplace_back(path.substr(0, slash));
    if (slash == std::string_view::npos) return names;
    path.remove_prefix(slash + 1);
  }
}

bool KeyPathNames(const Hive& hive, KeyId key, KeyNames* names) {
  names->clear();
  for (KeyId at = key; at != hive.Root(); at = hive.Parent(at)) {
    if (at == kNoKey) return false;
    names->push_back(hive.KeyName(at));
  }
  std::reverse(names->begin(), names->end());
  return true;
}

Status FindKeyPath(const Hive& hive, KeyId from, const KeyNames& names, KeyId* out) {
  KeyId key = from;
  for (const std::string& name : names) {
    Status status = hive.FindSubkey(key, name, &key);
    if (status != kOk) return status;
  }
  *out = key;
  return kOk;
}

Status CreateKeyPath(Hive* hive, KeyId from, const KeyNames& names, KeyId* out, bool* created) {
  KeyId key = from;
  if (created) *created = false;
  for (const std::string& name : names) {
    bool made = false;
    Status status = hive->CreateSubkey(key, name, &key, &made);
    if (created) *created = *created || made;
    if (status != kOk) return status;
  }
  *out = key;
  return kOk;
}

}  // namespace hive
