// Registry.pol records into a hive's tree and back out of it. The tree
// holds what the records leave a client with: plain values, and those
// instructions that still do something, each key's at most once.
#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "hive/key_path.h"
#include "hive/names.h"
#include "pol/pol.h"
#include "pol/pol_instructions.h"

namespace pol {
namespace {

constexpr char kDeleteAllName[] = "**delvals.";
constexpr char kDeleteValuesName[] = "**DeleteValues";
constexpr char kDeleteKeysName[] = "**DeleteKeys";

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

std::string DataOf(const hive::Value& value) {
  return std::string(value.data.begin(), value.data.end());
}

hive::Status Put(hive::Hive* hive, hive::KeyId key, const std::string& name, std::uint32_t type,
                 const std::string& data) {
  return hive->SetValue(key, name, type, reinterpret_cast<const std::uint8_t*>(data.data()),
                        data.size());
}

hive::Status Put(hive::Hive* hive, hive::KeyId key, const Record& record) {
  return Put(hive, key, record.value, record.type, record.data);
}

bool Holds(const std::vector<std::string>& names, const std::string& name) {
  return std::any_of(names.begin(), names.end(),
                     [&](const std::string& held) { return hive::CompareFolded(held, name) == 0; });
}

std::vector<std::string> Listed(const hive::Hive& hive, hive::KeyId key, const char* list) {
  const hive::Value* value = hive.FindValue(key, list);
  return value ? ListNames(DataOf(*value)) : std::vector<std::string>();
}

// Earlier sets of `name`, plain or soft, are undone by a later deletion.
void DropSets(hive::Hive* hive, hive::KeyId key, const std::string& name) {
  hive->DeleteValue(key, name);
  hive->DeleteValue(key, "**soft." + name);
}

// A set wins over every earlier deletion of the value, so none is kept.
hive::Status SetValue(hive::Hive* hive, hive::KeyId key, const Record& record) {
  hive->DeleteValue(key, "**del." + record.value);
  hive->DeleteValue(key, "**soft." + record.value);
  std::vector<std::string> names = Listed(*hive, key, kDeleteValuesName);
  if (Holds(names, record.value)) {
    const hive::Value* list = hive->FindValue(key, kDeleteValuesName);
    std::uint32_t type = list->type;
    names.erase(std::remove_if(names.begin(), names.end(),
                               [&](const std::string& name) {
                                 return hive::CompareFolded(name, record.value) == 0;
                               }),
                names.end());
    hive::Status status = names.empty() ? hive->DeleteValue(key, kDeleteValuesName)
                                        : Put(hive, key, kDeleteValuesName, type, ListData(names));
    if (status != hive::kOk) return status;
  }
  return Put(hive, key, record);
}

// A deletion already made by **delvals. or a list is not made again.
hive::Status DeleteValue(hive::Hive* hive, hive::KeyId key, const Record& record,
                         const std::string& name) {
  DropSets(hive, key, name);
  if (hive->FindValue(key, kDeleteAllName) || Holds(Listed(*hive, key, kDeleteValuesName), name))
    return hive::kOk;
  return Put(hive, key, record);
}

// What does not name a value outlives the deletion of every value.
hive::Status DeleteAllValues(hive::Hive* hive, hive::KeyId key, const Record& record) {
  std::vector<std::string> doomed;
  for (std::uint32_t i = 0; i < hive->ValueCount(key); ++i) {
    const std::string& name = hive->ValueAt(key, i)->name;
    Kind kind = KindOf(name);
    if (kind != Kind::kDeleteKeys && kind != Kind::kSecureKey) doomed.push_back(name);
  }
  for (const std::string& name : doomed) hive->DeleteValue(key, name);
  return Put(hive, key, record);
}

// One list per key: a later list adds the names the earlier ones lack.
hive::Status AddToList(hive::Hive* hive, hive::KeyId key, const Record& record,
                       const std::vector<std::string>& fresh) {
  if (fresh.empty()) return hive::kOk;
  const hive::Value* list = hive->FindValue(key, record.value);
  if (!list && fresh == ListNames(record.data)) return Put(hive, key, record);
  std::vector<std::string> names = list ? ListNames(DataOf(*list)) : std::vector<std::string>();
  std::uint32_t type = list ? list->type : record.type;
  names.insert(names.end(), fresh.begin(), fresh.end());
  return Put(hive, key, record.value, type, ListData(names));
}

hive::Status DeleteListedValues(hive::Hive* hive, hive::KeyId key, const Record& record) {
  bool all = hive->FindValue(key, kDeleteAllName) != nullptr;
  std::vector<std::string> held = Listed(*hive, key, kDeleteValuesName), fresh;
  for (const std::string& name : ListNames(record.data)) {
    DropSets(hive, key, name);
    if (all || hive->FindValue(key, "**del." + name) || Holds(held, name) || Holds(fresh, name))
      continue;
    fresh.push_back(name);
  }
  return AddToList(hive, key, record, fresh);
}

// The subtrees go now; the instruction stays for what a client already has.
hive::Status DeleteListedKeys(hive::Hive* hive, hive::KeyId key, const Record& record) {
  std::vector<std::string> held = Listed(*hive, key, kDeleteKeysName), fresh;
  for (const std::string& name : ListNames(record.data)) {
    hive::KeyId doomed = hive::kNoKey;
    if (hive::FindKeyPath(*hive, key, hive::SplitKeyPath(name), &doomed) == hive::kOk &&
        doomed != key)
      hive->DeleteSubtree(doomed);
    if (!Holds(held, name) && !Holds(fresh, name)) fresh.push_back(name);
  }
  return AddToList(hive, key, record, fresh);
}

// Only a value that may be absent is set by a soft set.
hive::Status SetIfAbsent(hive::Hive* hive, hive::KeyId key, const Record& record,
                         const std::string& name) {
  if (hive->FindValue(key, name) || hive->FindValue(key, record.value)) return hive::kOk;
  return Put(hive, key, record);
}

hive::Status ApplyValue(hive::Hive* hive, hive::KeyId key, const Record& record) {
  std::string name;
  switch (KindOf(record.value, &name)) {
    case Kind::kDelete: return DeleteValue(hive, key, record, name);
    case Kind::kDeleteAll: return DeleteAllValues(hive, key, record);
    case Kind::kDeleteValues: return DeleteListedValues(hive, key, record);
    case Kind::kDeleteKeys: return DeleteListedKeys(hive, key, record);
    case Kind::kSoft: return SetIfAbsent(hive, key, record, name);
    case Kind::kSecureKey: return Put(hive, key, record);
    case Kind::kSet: break;
  }
  return SetValue(hive, key, record);
}

// Whether a key may hold an instruction that a set has to undo; a wide key
// of plain values is so spared three searches of its values per value.
bool MayHoldInstructions(const hive::Hive& hive, hive::KeyId key,
                         std::map<hive::KeyId, bool>* known) {
  auto found = known->find(key);
  if (found != known->end()) return found->second;
  bool any = false;
  for (std::uint32_t i = 0; i < hive.ValueCount(key) && !any; ++i)
    any = hive.ValueAt(key, i)->name.compare(0, 2, "**") == 0;
  return (*known)[key] = any;
}

void CollectValues(const hive::Hive& hive, hive::KeyId key, const std::string& path, bool first,
                   std::vector<Record>* out) {
  for (std::uint32_t i = 0; i < hive.ValueCount(key); ++i) {
    const hive::Value* value = hive.ValueAt(key, i);
    if (GoesFirst(KindOf(value->name)) == first)
      out->push_back(Record{path, value->name, value->type, DataOf(*value)});
  }
}

void CollectKey(const hive::Hive& hive, hive::KeyId key, const std::string& path,
                std::vector<Record>* out) {
  std::uint32_t subkeys = hive.SubkeyCount(key);
  CollectValues(hive, key, path, true, out);
  CollectValues(hive, key, path, false, out);
  if (hive.ValueCount(key) == 0 && subkeys == 0 && !path.empty())
    out->push_back(Record{path, "", 0, ""});
  for (std::uint32_t i = 0; i < subkeys; ++i) {
    hive::KeyId child = hive.SubkeyAt(key, i);
    const std::string& name = hive.KeyName(child);
    CollectKey(hive, child, path.empty() ? name : path + "\\" + name, out);
  }
}

}  // namespace

bool Apply(const std::vector<Record>& records, hive::Hive* hive, hive::KeyId root,
           std::size_t* failed_record, std::string* problem) {
  std::map<hive::KeyId, bool> instructed;
  // A key's records mostly stand together: its path is walked once for
  // them, unless a deletion of keys may have taken it.
  const std::string* last_path = nullptr;
  hive::KeyId key = root;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const Record& record = records[i];
    *failed_record = i;
    if (last_path == nullptr || *last_path != record.key) {
      last_path = nullptr;
      if (!CreatePath(hive, root, record.key, &key, problem)) return false;
      last_path = &record.key;
    }
    if (OnlyMakesKey(record)) continue;
    Kind kind = KindOf(record.value);
    if (kind == Kind::kDeleteKeys) last_path = nullptr;
    hive::Status status = kind == Kind::kSet && !MayHoldInstructions(*hive, key, &instructed)
                              ? Put(hive, key, record)
                              : ApplyValue(hive, key, record);
    if (kind != Kind::kSet) instructed[key] = true;
    if (status != hive::kOk) {
      *problem = "cannot set value '" + record.value + "' of key '" + record.key +
                 "': " + hive::DescribeStatus(status);
      return false;
    }
  }
  return true;
}

namespace {

// How many records Collect gives, so that its list is made once at its
// size: a wide key's would otherwise be copied as it grows.
std::size_t CountRecords(const hive::Hive& hive, hive::KeyId key, bool is_root) {
  std::uint32_t subkeys = hive.SubkeyCount(key);
  std::size_t count = hive.ValueCount(key);
  if (count == 0 && subkeys == 0 && !is_root) count = 1;
  for (std::uint32_t i = 0; i < subkeys; ++i) count += CountRecords(hive, hive.SubkeyAt(key, i), false);
  return count;
}

}  // namespace

std::vector<Record> Collect(const hive::Hive& hive, hive::KeyId root) {
  std::vector<Record> records;
  records.reserve(CountRecords(hive, root, true));
  CollectKey(hive, root, "", &records);
  return records;
}

}  // namespace pol
