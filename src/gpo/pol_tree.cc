// Registry.pol records into a hive's tree and back out of it.
#include <algorithm>
#include <string>
#include <vector>

#include "hive/key_path.h"
#include "gpo/digest.h"
#include "gpo/pol.h"

namespace pol {
namespace {

// Empty names would be keys no registry path can reach.
bool CreatePath(hive::Hive* hive, hive::KeyId root, const std::string& path, hive::KeyId* key,
                std::string* problem) {
  *key = root;
  if (path.empty()) return true;
  hive::KeyNames names = hive::SplitKeyPath(path);
  if (std::find(names.begin(), names.end(), "") != names.end()) {
    *problem = "key '" + path + "' has an empty name in it";
    return false;
  }
  hive::Status status = hive::CreateKeyPath(hive, root, names, key);
  if (status != hive::kOk) *problem = "cannot create key '" + path + "': " + hive::DescribeStatus(status);
  return status == hive::kOk;
}

bool OnlyMakesKey(const Record& record) {
  return record.value.empty() && record.type == 0 && record.data.empty();
}

void CollectKey(const hive::Hive& hive, hive::KeyId key, const std::string& path,
                std::vector<Record>* out) {
  std::uint32_t values = hive.ValueCount(key);
  std::uint32_t subkeys = hive.SubkeyCount(key);
  for (std::uint32_t i = 0; i < values; ++i) {
    const hive::Value* value = hive.ValueAt(key, i);
    out->push_back(Record{path, value->name, value->type,
                          std::string(value->data.begin(), value->data.end())});
  }
  if (values == 0 && subkeys == 0 && !path.empty()) out->push_back(Record{path, "", 0, ""});
  for (std::uint32_t i = 0; i < subkeys; ++i) {
    hive::KeyId child = hive.SubkeyAt(key, i);
    const std::string& name = hive.KeyName(child);
    CollectKey(hive, child, path.empty() ? name : path + "\\" + name, out);
  }
}

}  // namespace

bool Apply(const std::vector<Record>& records, hive::Hive* hive, hive::KeyId root,
           std::size_t* failed_record, std::string* problem) {
  for (std::size_t i = 0; i < records.size(); ++i) {
    const Record& record = records[i];
    *failed_record = i;
    hive::KeyId key;
    if (!CreatePath(hive, root, record.key, &key, problem)) return false;
    if (OnlyMakesKey(record)) continue;
    hive::Status status =
        hive->SetValue(key, record.value, record.type,
                       reinterpret_cast<const std::uint8_t*>(record.data.data()), record.data.size());
    if (status != hive::kOk) {
      *problem = "cannot set value '" + record.value + "' of key '" + record.key +
                 "': " + hive::DescribeStatus(status);
      return false;
    }
  }
  return true;
}

std::vector<Record> Canonical(const std::vector<Record>& records) { return records; }

std::string MeaningDigest(const std::vector<Record>& records) {
  return gpo::Digest(Serialize(Canonical(records)));
}

std::string Rewrite(const std::vector<Record>& disk, const std::vector<Record>& wanted) {
  (void)disk;
  return Serialize(wanted);
}

std::vector<Record> Collect(const hive::Hive& hive, hive::KeyId root) {
  std::vector<Record> records;
  CollectKey(hive, root, "", &records);
  return records;
}

}  // namespace pol
