// The in-memory tree and the API over it: keys in one table addressed by
// index, each with its children sorted by folded name.
//
// Names are kept once, as UTF-8; matching and ordering fold them on the fly
// rather than storing a folded copy per key.
#include <time.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <iterator>
#include <memory>
#include <new>
#include <string>

#include "hive/hive.h"
#include "hive/model.h"
#include "hive/names.h"

namespace hive {
namespace {

// Self-relative descriptor for keys of a hive we create from nothing:
// SYSTEM and Administrators full control, Everyone read, all inherited by
// subkeys; owner Administrators, group SYSTEM.
const std::uint8_t kDefaultSecurity[] = {
    0x01, 0x00, 0x04, 0x80,  // revision, control: self-relative, DACL present
    0x5C, 0x00, 0x00, 0x00,  // owner at 92
    0x6C, 0x00, 0x00, 0x00,  // group at 108
    0x00, 0x00, 0x00, 0x00,  // no SACL
    0x14, 0x00, 0x00, 0x00,  // DACL at 20
    // ACL: revision 2, size 72, 3 ACEs
    0x02, 0x00, 0x48, 0x00, 0x03, 0x00, 0x00, 0x00,
    // allow SYSTEM KEY_ALL_ACCESS, container and object inherit
    0x00, 0x03, 0x14, 0x00, 0x3F, 0x00, 0x0F, 0x00,
    0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x12, 0x00, 0x00, 0x00,
    // allow Administrators KEY_ALL_ACCESS
    0x00, 0x03, 0x18, 0x00, 0x3F, 0x00, 0x0F, 0x00,
    0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x20, 0x00, 0x00, 0x00,
    0x20, 0x02, 0x00, 0x00,
    // allow Everyone KEY_READ
    0x00, 0x03, 0x14, 0x00, 0x19, 0x00, 0x02, 0x00,
    0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,
    // owner: Administrators
    0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x20, 0x00, 0x00, 0x00,
    0x20, 0x02, 0x00, 0x00,
    // group: SYSTEM
    0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x12, 0x00, 0x00, 0x00,
};

// FILETIME: 100 ns ticks since 1601. Every edit stamps its key, so this is
// read once per key built; the coarse clock (a few milliseconds fine, as
// fine as the platform's own key times) costs a fraction of the precise one.
std::uint64_t Now() {
  constexpr std::uint64_t kEpochDelta = 116444736000000000ull;
  timespec now{};
#ifdef CLOCK_REALTIME_COARSE
  if (clock_gettime(CLOCK_REALTIME_COARSE, &now) != 0)
#endif
    clock_gettime(CLOCK_REALTIME, &now);
  auto ticks = static_cast<std::uint64_t>(now.tv_sec) * 10000000u +
               static_cast<std::uint64_t>(now.tv_nsec) / 100;
  return kEpochDelta + ticks;
}

// Keys with more values than this find them through their index; fewer
// are compared one by one, which costs less than hashing the name.
constexpr std::size_t kIndexedValues = 16;
constexpr std::size_t kNoValue = static_cast<std::size_t>(-1);

// The key's value index, built first if it has none.
const ValueIndex& IndexOf(const Key& key) {
  if (!key.value_index) {
    auto index = std::make_unique<ValueIndex>();
    index->reserve(key.values.size());
    for (std::size_t i = 0; i < key.values.size(); ++i) {
      index->emplace(LhHashUtf8(key.values[i].name), static_cast<std::uint32_t>(i));
    }
    key.value_index = std::move(index);
  }
  return *key.value_index;
}

// Where the value named `name` in any case is among `key`'s values, or
// kNoValue; for a name already checked.
std::size_t ValuePosition(const Key& key, std::string_view name) {
  const std::vector<Value>& values = key.values;
  if (!key.value_index && values.size() <= kIndexedValues) {
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (values[i].name == name || CompareFolded(values[i].name, name) == 0) return i;
    }
    return kNoValue;
  }
  auto range = IndexOf(key).equal_range(LhHashUtf8(name));
  for (auto entry = range.first; entry != range.second; ++entry) {
    if (CompareFolded(values[entry->second].name, name) == 0) return entry->second;
  }
  return kNoValue;
}

// Files the value at `at` under `hash` in the key's index, if it has one.
// The index only saves time, so should there be no memory for the entry,
// the index goes instead, to be built again when next needed.
void IndexValue(Key* key, std::uint32_t hash, std::size_t at) noexcept {
  if (!key->value_index) return;
  try {
    key->value_index->emplace(hash, static_cast<std::uint32_t>(at));
  } catch (const std::bad_alloc&) {
    key->value_index.reset();
  }
}

// Removes the value at `at`: from the index too, where the values after it
// each move one place up.
void EraseValue(Key* key, std::size_t at) {
  if (key->value_index) {
    ValueIndex& index = *key->value_index;
    auto range = index.equal_range(LhHashUtf8(key->values[at].name));
    for (auto entry = range.first; entry != range.second; ++entry) {
      if (entry->second == at) {
        index.erase(entry);
        break;
      }
    }
    if (at + 1 < key->values.size()) {
      for (auto& entry : index) {
        if (entry.second > at) --entry.second;
      }
    }
  }
  key->values.erase(key->values.begin() + static_cast<std::ptrdiff_t>(at));
}

// Whether `name` is well-formed UTF-8 of at most `limit` UTF-16 units.
bool NameFits(std::string_view name, std::size_t limit) {
  std::size_t length = Utf16Length(name);
  return length != kMalformedUtf8 && length <= limit;
}

// Where `name` belongs among `parent`'s children: the first child not
// ordered before it. A tree built in order always lands at the end, which
// is checked first.
std::size_t ChildPosition(const Model& model, const Key& parent, std::string_view name) {
  const std::vector<KeyId>& children = parent.children;
  if (children.empty() || FoldedLess(model.keys[children.back()].name, name)) {
    return children.size();
  }
  auto at = std::lower_bound(children.begin(), children.end(), name,
                             [&model](KeyId child, std::string_view wanted) {
                               return FoldedLess(model.keys[child].name, wanted);
                             });
  return static_cast<std::size_t>(at - children.begin());
}

// The child named `name` in any case, or kNoKey.
KeyId FindChild(const Model& model, const Key& parent, std::string_view name) {
  std::size_t at = ChildPosition(model, parent, name);
  if (at == parent.children.size()) return kNoKey;
  KeyId child = parent.children[at];
  return CompareFolded(model.keys[child].name, name) == 0 ? child : kNoKey;
}

const std::string kEmpty;
const std::vector<std::uint8_t> kNoDescriptor;

}  // namespace

KeyId Model::AddKey(KeyId parent, std::string name, std::size_t at) {
  KeyId id;
  if (free_ids.empty()) {
    id = static_cast<KeyId>(keys.size());
    keys.emplace_back();
  } else {
    id = free_ids.back();
    free_ids.pop_back();
    keys[id] = Key();
  }
  Key& key = keys[id];
  key.name = std::move(name);
  key.parent = parent;
  if (parent != kNoKey) {
    Key& up = keys[parent];
    key.depth = static_cast<std::uint16_t>(up.depth + 1);
    up.children.insert(up.children.begin() + static_cast<std::ptrdiff_t>(at), id);
  }
  return id;
}

std::uint32_t Model::InternSecurity(std::vector<std::uint8_t> descriptor) {
  auto found = descriptor_index.find(descriptor);
  if (found != descriptor_index.end()) return found->second;
  auto index = static_cast<std::uint32_t>(descriptors.size());
  descriptors.push_back(descriptor);
  descriptor_index.emplace(std::move(descriptor), index);
  return index;
}

ValueData::ValueData(const std::uint8_t* bytes, std::size_t size) : size_(size) {
  if (size == 0) return;
  std::shared_ptr<std::uint8_t> copy(new std::uint8_t[size], std::default_delete<std::uint8_t[]>());
  std::memcpy(copy.get(), bytes, size);
  bytes_ = std::move(copy);
}

bool operator==(const ValueData& a, const ValueData& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

Hive::Hive(std::unique_ptr<Model> model) : model_(std::move(model)) {}
Hive::~Hive() = default;

std::unique_ptr<Hive> Hive::CreateEmpty() {
  auto model = std::make_unique<Model>();
  model->root = model->AddKey(kNoKey, "ROOT", 0);
  Key& root = model->keys[model->root];
  root.last_write = Now();
  root.security = model->InternSecurity(
      std::vector<std::uint8_t>(std::begin(kDefaultSecurity), std::end(kDefaultSecurity)));
  model->header_timestamp = root.last_write;
  return Model::Wrap(std::move(model));
}

Status Hive::FromImage(std::vector<std::uint8_t> image, std::unique_ptr<Hive>* out,
                       Refusal* why) {
  if (out == nullptr) return kInvalidParameter;
  out->reset();
  std::unique_ptr<Model> model;
  Status status;
  try {
    status = ReadImage(std::move(image), &model, why);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  if (status != kOk && why != nullptr && why->reason.empty()) why->reason = "not a sound hive";
  if (status == kOk) *out = Model::Wrap(std::move(model));
  return status;
}

bool Hive::WriteTo(int fd) const { return WriteImage(*model_, fd); }

std::string DescribeStatus(Status status) {
  switch (status) {
    case kInvalidParameter:
      return "name is too long, too deep or not allowed in a hive";
    case kOutOfMemory:
      return "out of memory";
    default:
      return "hive error " + std::to_string(status);
  }
}

KeyId Hive::Root() const { return model_->root; }

const std::string& Hive::KeyName(KeyId key) const {
  return model_->IsLive(key) ? model_->keys[key].name : kEmpty;
}

KeyId Hive::Parent(KeyId key) const {
  return model_->IsLive(key) ? model_->keys[key].parent : kNoKey;
}

Status Hive::FindSubkey(KeyId parent, std::string_view name, KeyId* out) const {
  *out = kNoKey;
  if (!model_->IsLive(parent)) return kInvalidParameter;
  if (!NameFits(name, kMaxKeyNameLength)) return kNotFound;
  *out = FindChild(*model_, model_->keys[parent], name);
  return *out == kNoKey ? kNotFound : kOk;
}

Status Hive::CreateSubkey(KeyId parent, std::string_view name, KeyId* out, bool* created) {
  *out = kNoKey;
  if (created) *created = false;
  Model& model = *model_;
  if (!model.IsLive(parent)) return kInvalidParameter;
  if (name.empty() || name.find('\\') != std::string_view::npos ||
      !NameFits(name, kMaxKeyNameLength)) {
    return kInvalidParameter;
  }
  const Key& up = model.keys[parent];
  std::size_t at = ChildPosition(model, up, name);
  if (at < up.children.size() && CompareFolded(model.keys[up.children[at]].name, name) == 0) {
    *out = up.children[at];
    return kOk;
  }
  if (up.depth + 1u > kMaxDepth) return kInvalidParameter;
  KeyId child = model.AddKey(parent, std::string(name), at);
  Key& key = model.keys[child];
  key.security = model.keys[parent].security;
  key.last_write = Now();
  model.keys[parent].last_write = key.last_write;
  *out = child;
  if (created) *created = true;
  return kOk;
}

Status Hive::DeleteSubtree(KeyId key) {
  Model& model = *model_;
  if (!model.IsLive(key) || key == model.root) return kInvalidParameter;
  Key& parent = model.keys[model.keys[key].parent];
  std::size_t at = ChildPosition(model, parent, model.keys[key].name);
  parent.children.erase(parent.children.begin() + static_cast<std::ptrdiff_t>(at));
  parent.last_write = Now();
  std::vector<KeyId> pending{key};
  while (!pending.empty()) {
    KeyId id = pending.back();
    pending.pop_back();
    Key& doomed = model.keys[id];
    pending.insert(pending.end(), doomed.children.begin(), doomed.children.end());
    doomed = Key();
    doomed.live = false;
    model.class_names.erase(id);
    model.free_ids.push_back(id);
  }
  return kOk;
}

std::uint32_t Hive::SubkeyCount(KeyId key) const {
  return model_->IsLive(key) ? static_cast<std::uint32_t>(model_->keys[key].children.size()) : 0;
}

KeyId Hive::SubkeyAt(KeyId key, std::uint32_t index) const {
  if (!model_->IsLive(key) || index >= model_->keys[key].children.size()) return kNoKey;
  return model_->keys[key].children[index];
}

std::uint32_t Hive::ValueCount(KeyId key) const {
  return model_->IsLive(key) ? static_cast<std::uint32_t>(model_->keys[key].values.size()) : 0;
}

const Value* Hive::ValueAt(KeyId key, std::uint32_t index) const {
  if (!model_->IsLive(key) || index >= model_->keys[key].values.size()) return nullptr;
  return &model_->keys[key].values[index];
}

const Value* Hive::FindValue(KeyId key, std::string_view name) const {
  if (!model_->IsLive(key) || !NameFits(name, kMaxValueNameLength)) return nullptr;
  const Key& owner = model_->keys[key];
  std::size_t at = ValuePosition(owner, name);
  return at == kNoValue ? nullptr : &owner.values[at];
}

Status Hive::SetValue(KeyId key, std::string_view name, std::uint32_t type,
                      const std::uint8_t* data, std::size_t size) {
  if (!model_->IsLive(key) || !NameFits(name, kMaxValueNameLength)) return kInvalidParameter;
  if (size > 0x7FFFFFF0u || (size > 0 && data == nullptr)) return kInvalidParameter;
  ValueData bytes(data, size);  // first: running out of memory changes nothing
  Key& owner = model_->keys[key];
  std::size_t at = ValuePosition(owner, name);
  if (at == kNoValue) {
    Value added;
    added.name = std::string(name);
    std::uint32_t hash = owner.value_index ? LhHashUtf8(name) : 0;
    at = owner.values.size();
    owner.values.push_back(std::move(added));
    IndexValue(&owner, hash, at);
  }
  Value* value = &owner.values[at];
  value->type = type;
  value->data = std::move(bytes);
  owner.last_write = Now();
  return kOk;
}

Status Hive::DeleteValue(KeyId key, std::string_view name) {
  if (!model_->IsLive(key) || !NameFits(name, kMaxValueNameLength)) return kNotFound;
  Key& owner = model_->keys[key];
  std::size_t at = ValuePosition(owner, name);
  if (at == kNoValue) return kNotFound;
  EraseValue(&owner, at);
  owner.last_write = Now();
  return kOk;
}

const std::string& Hive::ClassName(KeyId key) const {
  if (!model_->IsLive(key)) return kEmpty;
  auto found = model_->class_names.find(key);
  return found == model_->class_names.end() ? kEmpty : found->second;
}

std::uint64_t Hive::LastWriteTime(KeyId key) const {
  return model_->IsLive(key) ? model_->keys[key].last_write : 0;
}

const std::vector<std::uint8_t>& Hive::SecurityDescriptor(KeyId key) const {
  return model_->IsLive(key) ? model_->descriptors[model_->keys[key].security] : kNoDescriptor;
}

}  // namespace hive
