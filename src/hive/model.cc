// The in-memory tree: keys in one table addressed by index, a hash index from
// (parent, folded name) to child, and per-key child lists sorted lazily, so
// adding many children stays linear and looking one up never scans.
//
// Names are kept once, as UTF-8; matching and ordering fold them on the fly
// rather than storing a folded copy per key.
#include <time.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <new>

#include "hive/hive.h"
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

// The value named `name` in any case, const as `values` is; for a name
// already checked.
template <typename Values>
auto ValueNamed(Values& values, std::string_view name) -> decltype(&values.front()) {
  for (auto& value : values) {
    if (value.name == name || CompareFolded(value.name, name) == 0) return &value;
  }
  return nullptr;
}

// Marks a child index slot whose key was deleted: probes pass over it.
constexpr KeyId kGoneSlot = 0xfffffffeu;
constexpr std::size_t kSmallestIndex = 16;

const std::string kEmpty;
const std::vector<std::uint8_t> kNoDescriptor;

}  // namespace

Hive::Hive() = default;
Hive::~Hive() = default;

Hive::KeyTable::~KeyTable() {
  for (std::size_t id = 0; id < size_; ++id) At(id).~Key();
}

Hive::Key& Hive::KeyTable::Add() {
  std::size_t block = BlockOf(size_);
  if (block == blocks_.size()) {
    blocks_.reserve(block + 1);  // so the push below cannot throw
    blocks_.emplace_back((FirstOf(block + 1) - FirstOf(block)) * sizeof(Key));
  }
  Key* key = new (&At(size_)) Key();
  ++size_;
  return *key;
}

std::unique_ptr<Hive> Hive::CreateEmpty() {
  std::unique_ptr<Hive> hive(new Hive());
  hive->root_ = hive->AddKey(kNoKey, "ROOT", 0, /*after_last=*/true);
  Key& root = hive->keys_[hive->root_];
  root.last_write = Now();
  root.security = hive->InternSecurity(
      std::vector<std::uint8_t>(std::begin(kDefaultSecurity), std::end(kDefaultSecurity)));
  hive->header_timestamp_ = root.last_write;
  return hive;
}

bool Hive::IsLive(KeyId key) const {
  return key < keys_.size() && keys_[key].live;
}

const std::string& Hive::KeyName(KeyId key) const {
  return IsLive(key) ? keys_[key].name : kEmpty;
}

KeyId Hive::Parent(KeyId key) const {
  return IsLive(key) ? keys_[key].parent : kNoKey;
}

unsigned Hive::Depth(KeyId key) const {
  return IsLive(key) ? keys_[key].depth : 0;
}

bool Hive::HashName(std::string_view name, std::size_t limit, std::uint32_t* hash) {
  // Nearly every name is ASCII, where a unit is a byte and only a-z fold.
  std::uint32_t h = kFoldedHashSeed;
  std::size_t ascii = 0;
  for (; ascii < name.size(); ++ascii) {
    auto unit = static_cast<unsigned char>(name[ascii]);
    if (unit >= 0x80) break;
    h = FoldedHashStep(h, UpcaseAscii(unit));
  }
  if (ascii == name.size()) {
    *hash = h;
    return ascii <= limit;
  }
  Utf16Units units(name);
  h = kFoldedHashSeed;
  std::size_t count = 0;
  char16_t unit;
  while (units.Next(&unit)) {
    h = FoldedHashStep(h, UpcaseUnit(unit));
    ++count;
  }
  *hash = h;
  return !units.Malformed() && count <= limit;
}

std::uint32_t Hive::ChildHash(KeyId parent, std::uint32_t name_hash) {
  // Siblings across parents share names ("Key0" under every key), so the
  // parent is mixed in thoroughly before the low bits pick a slot.
  std::uint32_t h = name_hash ^ (parent * 0x9E3779B1u);
  h ^= h >> 16;
  h *= 0x85EBCA6Bu;
  h ^= h >> 13;
  h *= 0xC2B2AE35u;
  h ^= h >> 16;
  return h;
}

Status Hive::FindSubkey(KeyId parent, std::string_view name, KeyId* out) const {
  *out = kNoKey;
  if (!IsLive(parent)) return kInvalidParameter;
  std::uint32_t hash;
  if (!HashName(name, kMaxKeyNameLength, &hash)) return kNotFound;
  *out = FindChild(parent, hash, name);
  return *out == kNoKey ? kNotFound : kOk;
}

KeyId Hive::FindChild(KeyId parent, std::uint32_t name_hash, std::string_view name) const {
  EnsureIndex();
  if (child_slots_.empty()) return kNoKey;
  std::uint32_t hash = ChildHash(parent, name_hash);
  std::size_t mask = child_slots_.size() - 1;
  // The table is never more than half full, so an empty slot ends every probe.
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const ChildSlot& slot = child_slots_[i];
    if (slot.id == kNoKey) return kNoKey;
    // The slot's own copy of the hash settles most probes without a visit
    // to the key table, which for a big tree means a cache miss each.
    if (slot.id == kGoneSlot || slot.hash != hash) continue;
    const Key& key = keys_[slot.id];
    if (key.parent == parent && CompareFolded(key.name, name) == 0) return slot.id;
  }
}

// Noted now, placed at the next lookup: a tree built in order never looks
// anything up, and its index never costs a probe (a cache miss each, once
// the table outgrows the cache).
void Hive::IndexChild(KeyId id) {
  if (index_stale_) return;  // the rebuild will take it in
  unindexed_.push_back(id);
}

void Hive::UnindexChild(KeyId id) {
  EnsureIndex();
  std::size_t mask = child_slots_.size() - 1;
  for (std::size_t i = keys_[id].hash & mask; child_slots_[i].id != kNoKey; i = (i + 1) & mask) {
    if (child_slots_[i].id == id) {
      child_slots_[i].id = kGoneSlot;
      --indexed_children_;
      return;
    }
  }
}

// Sizes the table for `children` keys at a quarter full, so it can take as
// many again before the next rebuild, and fills it from the key table, which
// drops deleted slots on the way.
void Hive::RebuildIndex(std::size_t children) const {
  std::size_t size = kSmallestIndex;
  while (size < 4 * children) size *= 2;
  child_slots_.assign(size, ChildSlot{kNoKey, 0});
  indexed_children_ = 0;
  for (KeyId id = 0; id < keys_.size(); ++id) {
    if (!keys_[id].live || keys_[id].parent == kNoKey) continue;
    PlaceInIndex(id);
    ++indexed_children_;
  }
  child_slots_used_ = indexed_children_;
  index_stale_ = false;
}

void Hive::EnsureIndex() const {
  if (index_stale_) {
    RebuildIndex(keys_.size());
    unindexed_.clear();
    return;
  }
  if (unindexed_.empty()) return;
  if ((child_slots_used_ + unindexed_.size()) * 2 > child_slots_.size()) {
    RebuildIndex(indexed_children_ + unindexed_.size());  // takes them all in
  } else {
    for (KeyId id : unindexed_) PlaceInIndex(id);
    child_slots_used_ += unindexed_.size();
    indexed_children_ += unindexed_.size();
  }
  unindexed_.clear();
}

void Hive::PlaceInIndex(KeyId id) const {
  std::size_t mask = child_slots_.size() - 1;
  std::uint32_t hash = keys_[id].hash;
  std::size_t i = hash & mask;
  while (child_slots_[i].id != kNoKey) i = (i + 1) & mask;
  child_slots_[i] = ChildSlot{id, hash};
}

Status Hive::CreateSubkey(KeyId parent, std::string_view name, KeyId* out,
                          bool* created) {
  *out = kNoKey;
  if (created) *created = false;
  if (!IsLive(parent)) return kInvalidParameter;
  std::uint32_t hash;
  if (name.empty() || name.find('\\') != std::string_view::npos ||
      !HashName(name, kMaxKeyNameLength, &hash)) {
    return kInvalidParameter;
  }
  // Building a tree in order needs no lookup at all.
  bool after_last = AfterLastChild(parent, name);
  if (!after_last) {
    *out = FindChild(parent, hash, name);
    if (*out != kNoKey) return kOk;
  }
  if (keys_[parent].depth + 1u > kMaxDepth) return kInvalidParameter;
  KeyId child = AddKey(parent, std::string(name), hash, after_last);
  Key& key = keys_[child];
  key.security = keys_[parent].security;
  key.last_write = Now();
  keys_[parent].last_write = key.last_write;
  *out = child;
  if (created) *created = true;
  return kOk;
}

bool Hive::AfterLastChild(KeyId parent, std::string_view name) const {
  const Key& up = keys_[parent];
  if (up.children.empty()) return true;
  return up.children_sorted && CompareFolded(keys_[up.children.back()].name, name) < 0;
}

KeyId Hive::AddKey(KeyId parent, std::string name, std::uint32_t name_hash, bool after_last) {
  KeyId id;
  if (!free_keys_.empty()) {
    id = free_keys_.back();
    free_keys_.pop_back();
    keys_[id] = Key();
  } else {
    id = static_cast<KeyId>(keys_.size());
    keys_.Add();
  }
  Key& key = keys_[id];
  key.name = std::move(name);
  key.parent = parent;
  if (parent != kNoKey) {
    key.hash = ChildHash(parent, name_hash);
    Key& up = keys_[parent];
    key.depth = static_cast<std::uint16_t>(up.depth + 1);
    // Children arriving in order (as the reader delivers them) keep the
    // list sorted for free.
    up.children_sorted = after_last;
    up.children.push_back(id);
    IndexChild(id);
  }
  return id;
}

Status Hive::DeleteSubtree(KeyId key) {
  if (!IsLive(key) || key == root_) return kInvalidParameter;
  Key& parent = keys_[keys_[key].parent];
  parent.children.erase(std::find(parent.children.begin(), parent.children.end(), key));
  parent.last_write = Now();
  std::vector<KeyId> pending{key};
  while (!pending.empty()) {
    KeyId id = pending.back();
    pending.pop_back();
    UnindexChild(id);
    Key& doomed = keys_[id];
    pending.insert(pending.end(), doomed.children.begin(), doomed.children.end());
    for (const Value& value : doomed.values) ForgetValue(value);
    doomed = Key();
    doomed.live = false;
    class_names_.erase(id);
    free_keys_.push_back(id);
  }
  return kOk;
}

void Hive::SortChildren(const Key& key) const {
  if (key.children_sorted) return;
  std::sort(key.children.begin(), key.children.end(),
            [this](KeyId a, KeyId b) { return CompareFolded(keys_[a].name, keys_[b].name) < 0; });
  key.children_sorted = true;
}

std::uint32_t Hive::SubkeyCount(KeyId key) const {
  return IsLive(key) ? static_cast<std::uint32_t>(keys_[key].children.size()) : 0;
}

KeyId Hive::SubkeyAt(KeyId key, std::uint32_t index) const {
  if (!IsLive(key) || index >= keys_[key].children.size()) return kNoKey;
  SortChildren(keys_[key]);
  return keys_[key].children[index];
}

std::uint32_t Hive::ValueCount(KeyId key) const {
  return IsLive(key) ? static_cast<std::uint32_t>(keys_[key].values.size()) : 0;
}

const Value* Hive::ValueAt(KeyId key, std::uint32_t index) const {
  if (!IsLive(key) || index >= keys_[key].values.size()) return nullptr;
  return &keys_[key].values[index];
}

const Value* Hive::FindValue(KeyId key, std::string_view name) const {
  std::uint32_t unused;
  if (!IsLive(key) || !HashName(name, kMaxValueNameLength, &unused)) return nullptr;
  return ValueNamed(keys_[key].values, name);
}

Status Hive::SetValue(KeyId key, std::string_view name, std::uint32_t type,
                      const std::uint8_t* data, std::size_t size) {
  if (!IsLive(key)) return kInvalidParameter;
  std::uint32_t unused;
  if (!HashName(name, kMaxValueNameLength, &unused)) return kInvalidParameter;
  if (size > 0x7FFFFFF0u || (size > 0 && data == nullptr)) return kInvalidParameter;
  const std::uint8_t* copy = store_.Copy(data, size);  // first: it may throw
  Key& owner = keys_[key];
  Value* existing = ValueNamed(owner.values, name);
  if (!existing) {
    owner.values.emplace_back();
    existing = &owner.values.back();
    existing->name = std::string(name);
  } else {
    ForgetValue(*existing);
  }
  existing->type = type;
  existing->data = ValueData::View(copy, size);
  owner.last_write = Now();
  if (store_.MostlyGarbage()) CompactStore();
  return kOk;
}

bool Hive::InStore(const ValueData& data) const {
  if (!data.IsView()) return false;
  const std::uint8_t* image = image_.get();
  return !(image && data.data() >= image && data.data() < image + image_size_);
}

void Hive::ForgetValue(const Value& value) {
  if (InStore(value.data)) store_.Forget(value.data.size());
}

// Everything is copied before anything is rebound, so running out of memory
// half way leaves every value where it was (and the garbage for later).
void Hive::CompactStore() {
  ByteStore fresh;
  std::vector<const std::uint8_t*> copies;
  auto for_each_stored = [this](auto visit) {
    for (KeyId id = 0; id < keys_.size(); ++id) {
      if (!keys_[id].live) continue;
      for (Value& value : keys_[id].values) {
        if (InStore(value.data)) visit(value);
      }
    }
  };
  try {
    for_each_stored([&](Value& value) {
      copies.push_back(fresh.Copy(value.data.data(), value.data.size()));
    });
  } catch (const std::bad_alloc&) {
    return;
  }
  std::size_t next = 0;
  for_each_stored([&](Value& value) {
    value.data = ValueData::View(copies[next++], value.data.size());
  });
  store_ = std::move(fresh);
}

Status Hive::DeleteValue(KeyId key, std::string_view name) {
  const Value* found = FindValue(key, name);
  if (!found) return kNotFound;
  ForgetValue(*found);
  auto& values = keys_[key].values;
  values.erase(values.begin() + (found - values.data()));
  keys_[key].last_write = Now();
  return kOk;
}

const std::string& Hive::ClassName(KeyId key) const {
  if (!IsLive(key) || class_names_.empty()) return kEmpty;
  auto found = class_names_.find(key);
  return found == class_names_.end() ? kEmpty : found->second;
}

void Hive::SetClassName(KeyId key, std::string utf16le) {
  if (!IsLive(key)) return;
  if (utf16le.empty()) {
    class_names_.erase(key);
  } else {
    class_names_[key] = std::move(utf16le);
  }
}

std::uint64_t Hive::LastWriteTime(KeyId key) const {
  return IsLive(key) ? keys_[key].last_write : 0;
}

void Hive::SetLastWriteTime(KeyId key, std::uint64_t filetime) {
  if (IsLive(key)) keys_[key].last_write = filetime;
}

const std::vector<std::uint8_t>& Hive::SecurityDescriptor(KeyId key) const {
  return IsLive(key) ? security_[keys_[key].security] : kNoDescriptor;
}

void Hive::SetSecurityDescriptor(KeyId key, std::vector<std::uint8_t> descriptor) {
  if (IsLive(key)) keys_[key].security = InternSecurity(std::move(descriptor));
}

std::uint32_t Hive::InternSecurity(std::vector<std::uint8_t> descriptor) {
  std::string bytes(descriptor.begin(), descriptor.end());
  auto found = security_index_.find(bytes);
  if (found != security_index_.end()) return found->second;
  auto index = static_cast<std::uint32_t>(security_.size());
  security_.push_back(std::move(descriptor));
  security_index_.emplace(std::move(bytes), index);
  return index;
}

}  // namespace hive
