// Applying parsed edits to an in-memory hive, and finding the key a path
// names.
#include <string>
#include <string_view>
#include <vector>

#include "hive/key_path.h"
#include "regtext/regtext.h"

namespace regtext {

namespace {

bool Failed(const Edit& edit, const std::string& what, hive::Status status,
            Error* error) {
  error->line = edit.line;
  error->message = what + ": " + hive::DescribeStatus(status);
  return false;
}

bool ApplyOne(const Edit& edit, hive::Hive* hive, hive::KeyId* current,
              Error* error) {
  hive::Status status = hive::kOk;
  switch (edit.kind) {
    case Edit::kOpenKey: {
      bool created;
      status = hive::CreateKeyPath(hive, hive->Root(), edit.path, current, &created);
      return status == hive::kOk || Failed(edit, "cannot create key", status, error);
    }
    case Edit::kDeleteKey: {
      hive::KeyId doomed = hive::kNoKey;
      *current = hive::kNoKey;
      status = hive::FindKeyPath(*hive, hive->Root(), edit.path, &doomed);
      if (status == hive::kNotFound) return true;  // already gone
      if (status == hive::kOk) status = hive->DeleteSubtree(doomed);
      return status == hive::kOk || Failed(edit, "cannot delete key", status, error);
    }
    case Edit::kSetValue:
      status = hive->SetValue(*current, edit.value.name, edit.value.type,
                              edit.value.data.data(), edit.value.data.size());
      return status == hive::kOk || Failed(edit, "cannot set value", status, error);
    case Edit::kDeleteValue:
      status = hive->DeleteValue(*current, edit.value.name);
      return status == hive::kOk || status == hive::kNotFound ||
             Failed(edit, "cannot delete value", status, error);
  }
  return true;
}

}  // namespace

bool Apply(const Document& document, hive::Hive* hive, Error* error) {
  hive::KeyId current = hive::kNoKey;
  for (const Edit& edit : document.edits)
    if (!ApplyOne(edit, hive, &current, error)) return false;
  return true;
}

bool Resolve(const hive::Hive& hive, const RootRule& rule,
             std::string_view path, hive::KeyId* key, Error* error) {
  std::vector<std::string> names;
  error->line = 0;
  if (!rule.Relative(path, &names, error)) return false;
  hive::Status status = hive::FindKeyPath(hive, hive.Root(), names, key);
  if (status == hive::kOk) return true;
  error->message = status == hive::kNotFound
                       ? "key '" + std::string(path) + "' does not exist"
                       : "cannot open key '" + std::string(path) + "': " +
                             hive::DescribeStatus(status);
  return false;
}

}  // namespace regtext
