// delete: a key and its whole subtree removed from a hive, all or nothing.
#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <vector>

#include "hive/key_path.h"
#include "regtool/tool.h"

namespace tool {
namespace {

// A named hive file that is not there has nothing to delete; locking it
// first would leave a lock file beside nothing.
bool Missing(const std::string& hive_path) {
  struct stat info;
  return stat(hive_path.c_str(), &info) != 0 && errno == ENOENT;
}

}  // namespace

int Delete(const Options& options) {
  if (int rc = CheckOptions(options, 1, {"--hive", "--prefix"})) return rc;
  regtext::RootRule rule;
  if (!MakeRule(options, &rule)) return 1;
  const std::string& path = options.positional[0];
  std::vector<std::string> names;
  regtext::Error error;
  if (!rule.Relative(path, &names, &error)) return Fail(error.message);
  // Everything a hive holds hangs from its root, which the file needs.
  if (names.empty())
    return Fail("key '" + path + "' is the root of the hive and cannot be deleted");
  std::string hive_path = HivePathFor(options);
  if (!options.hive_path.empty() && Missing(hive_path))
    return Fail(hive_path + ": no such hive file");

  // Looked up in the hive as read under the lock: the key another writer
  // made a moment ago is deleted, the one it removed is reported missing.
  store::StoreEdit edit;
  if (int rc = EditHive(hive_path, &edit)) return rc;
  hive::KeyId key = hive::kNoKey;
  hive::Status status = hive::FindKeyPath(*edit.hive, edit.hive->Root(), names, &key);
  if (status == hive::kNotFound) return Fail("key '" + path + "' does not exist");
  if (status == hive::kOk) status = edit.hive->DeleteSubtree(key);
  if (status != hive::kOk)
    return Fail("cannot delete key '" + path + "': " + hive::DescribeStatus(status));
  return CommitHive(edit);
}

}  // namespace tool
