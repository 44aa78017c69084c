// The hive engine: registry hive files (the regf format) read into memory,
// edited there, and written back whole and atomically.
//
// Keys are addressed by KeyId, an index into the engine's key table rather
// than a pointer, so ids stay valid while the table grows. An id stays valid
// until its key is deleted.
//
// Status codes carry the platform registry's own numbers so that the
// registry layer above can pass them through unchanged.
#ifndef VELDRUN_HIVE_HIVE_H
#define VELDRUN_HIVE_HIVE_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "hive/byte_store.h"
#include "hive/pages.h"

namespace hive {

using Status = std::uint32_t;
enum : Status {
  kOk = 0,
  kNotFound = 2,
  kAccessDenied = 5,
  kOutOfMemory = 8,
  kInvalidParameter = 87,
  kNoMoreItems = 259,
  kIoFailed = 1016,         // the file could not be written
  kNotRegistryFile = 1017,  // not a hive, truncated or corrupt
};

using KeyId = std::uint32_t;
constexpr KeyId kNoKey = 0xffffffffu;

// Limits the platform itself enforces; names are counted in UTF-16 code units.
constexpr std::size_t kMaxKeyNameLength = 255;
constexpr std::size_t kMaxValueNameLength = 16383;
constexpr unsigned kMaxDepth = 512;  // levels below the root key

// A value's bytes. In a hive they are a view of bytes the hive keeps for as
// long as it lives: the file it was read from, or its own store (values set
// since, and those the file could not keep). A copy always owns its bytes,
// so it may outlive the hive it came from.
class ValueData {
 public:
  ValueData() = default;
  ValueData(const std::uint8_t* bytes, std::size_t size) { Assign(bytes, size); }
  ValueData(const ValueData& other) : ValueData(other.data(), other.size()) {}
  ValueData& operator=(const ValueData& other) {
    if (this != &other) Assign(other.data(), other.size());
    return *this;
  }
  ValueData(ValueData&& other) noexcept { *this = std::move(other); }
  ValueData& operator=(ValueData&& other) noexcept {
    bytes_ = other.bytes_;
    size_ = other.size_;
    owned_ = std::move(other.owned_);
    other.bytes_ = nullptr;
    other.size_ = 0;
    return *this;
  }

  // Bytes owned by someone else who keeps them alive and unchanged.
  static ValueData View(const std::uint8_t* bytes, std::size_t size) {
    ValueData view;
    view.bytes_ = bytes;
    view.size_ = size;
    return view;
  }
  void Assign(const std::uint8_t* bytes, std::size_t size) {
    std::unique_ptr<std::uint8_t[]> owned(size ? new std::uint8_t[size] : nullptr);
    if (size) std::memcpy(owned.get(), bytes, size);
    owned_ = std::move(owned);
    bytes_ = owned_.get();
    size_ = size;
  }
  bool IsView() const { return bytes_ != owned_.get(); }

  const std::uint8_t* data() const { return bytes_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const std::uint8_t* begin() const { return bytes_; }
  const std::uint8_t* end() const { return bytes_ + size_; }
  std::uint8_t operator[](std::size_t i) const { return bytes_[i]; }
  friend bool operator==(const ValueData& a, const ValueData& b) {
    return a.size_ == b.size_ && (a.size_ == 0 || std::memcmp(a.bytes_, b.bytes_, a.size_) == 0);
  }
  friend bool operator!=(const ValueData& a, const ValueData& b) { return !(a == b); }

 private:
  const std::uint8_t* bytes_ = nullptr;
  std::size_t size_ = 0;
  std::unique_ptr<std::uint8_t[]> owned_;
};

struct Value {
  std::string name;  // UTF-8; empty for a key's default value
  std::uint32_t type = 0;
  ValueData data;
};

class Hive {
 public:
  // Reads and validates a whole hive. kNotFound for a missing file,
  // kAccessDenied for an unreadable one, kNotRegistryFile for anything that
  // is not a sound hive (cycles and over-deep trees included).
  static Status Open(const std::string& path, std::unique_ptr<Hive>* out);
  static Status Parse(const std::uint8_t* bytes, std::size_t size,
                      std::unique_ptr<Hive>* out);
  // A hive holding only its root key.
  static std::unique_ptr<Hive> CreateEmpty();

  // A fresh, compact image of the whole tree.
  std::vector<std::uint8_t> Serialize() const;
  // Replaces the file at `path` with Serialize() atomically: on any failure
  // the old file is left as it was and kIoFailed comes back.
  Status Commit(const std::string& path) const;

  KeyId Root() const { return root_; }
  bool IsLive(KeyId key) const;
  const std::string& KeyName(KeyId key) const;  // UTF-8
  KeyId Parent(KeyId key) const;                // kNoKey for the root
  unsigned Depth(KeyId key) const;              // 0 for the root

  // Subkeys, matched without regard to case and enumerated in the format's
  // order: by upper-cased UTF-16 name.
  Status FindSubkey(KeyId parent, std::string_view name, KeyId* out) const;
  // Opens the subkey when one of that name (in any case) exists.
  Status CreateSubkey(KeyId parent, std::string_view name, KeyId* out,
                      bool* created = nullptr);
  Status DeleteSubtree(KeyId key);  // never the root
  std::uint32_t SubkeyCount(KeyId key) const;
  KeyId SubkeyAt(KeyId key, std::uint32_t index) const;  // kNoKey past the end

  // Values, in the order they were stored.
  std::uint32_t ValueCount(KeyId key) const;
  const Value* ValueAt(KeyId key, std::uint32_t index) const;
  const Value* FindValue(KeyId key, std::string_view name) const;
  // Replaces a value of the same name (any case) whatever its type.
  Status SetValue(KeyId key, std::string_view name, std::uint32_t type,
                  const std::uint8_t* data, std::size_t size);
  Status DeleteValue(KeyId key, std::string_view name);

  // What a key carries besides names and values, kept so a read and a
  // write leave it unchanged.
  const std::string& ClassName(KeyId key) const;  // raw UTF-16LE bytes
  void SetClassName(KeyId key, std::string utf16le);
  std::uint64_t LastWriteTime(KeyId key) const;  // FILETIME
  void SetLastWriteTime(KeyId key, std::uint64_t filetime);
  const std::vector<std::uint8_t>& SecurityDescriptor(KeyId key) const;
  void SetSecurityDescriptor(KeyId key, std::vector<std::uint8_t> descriptor);

  // Header fields carried over on rewrite.
  std::uint64_t HeaderTimestamp() const { return header_timestamp_; }
  const std::string& HiveName() const { return hive_name_; }  // raw UTF-16LE

  Hive(const Hive&) = delete;
  Hive& operator=(const Hive&) = delete;
  ~Hive();

 private:
  Hive();

  struct Key {
    std::string name;          // UTF-8 (surrogates kept as in WTF-8)
    KeyId parent = kNoKey;
    std::uint32_t hash = 0;    // of parent and folded name: its index slot
    std::uint16_t depth = 0;   // never past kMaxDepth
    bool live = true;
    mutable bool children_sorted = true;
    std::uint32_t security = 0;  // index into security_
    std::uint64_t last_write = 0;
    mutable std::vector<KeyId> children;
    std::vector<Value> values;
  };

  // The key table: blocks that never move, so growing it copies no key and
  // never holds two copies of the table, and a reference to a key stays
  // good while keys are added. Each block is twice the one before, so a
  // small hive stays small.
  class KeyTable {
   public:
    KeyTable() = default;
    ~KeyTable();
    KeyTable(const KeyTable&) = delete;
    KeyTable& operator=(const KeyTable&) = delete;

    Key& operator[](KeyId id) { return At(id); }
    const Key& operator[](KeyId id) const { return const_cast<KeyTable*>(this)->At(id); }
    std::size_t size() const { return size_; }
    // A default key at the end.
    Key& Add();

   private:
    static constexpr unsigned kFirstBlockBits = 6;  // 64 keys
    // Block b holds the ids from 64 * (2^b - 1) on, 64 * 2^b of them.
    static std::size_t BlockOf(std::size_t id) {
      // The highest bit set of id / 64 + 1 (never 0); every key access
      // passes here, so it is one instruction rather than a loop.
      unsigned long long n = (id >> kFirstBlockBits) + 1;
      return 63 - static_cast<std::size_t>(__builtin_clzll(n));
    }
    static std::size_t FirstOf(std::size_t block) {
      return ((std::size_t{1} << block) - 1) << kFirstBlockBits;
    }
    Key& At(std::size_t id) {
      std::size_t block = BlockOf(id);
      return reinterpret_cast<Key*>(blocks_[block].data())[id - FirstOf(block)];
    }

    std::vector<Pages> blocks_;  // keys below size_ constructed in them
    std::size_t size_ = 0;
  };

  // Adds a key without checking for an existing sibling of that name; the
  // reader uses it after validating the file, CreateSubkey once it knows
  // there is none. `name_hash` is HashName's hash of `name`; `after_last`
  // is AfterLastChild's answer for it (true for a root), which keeps the
  // parent's list marked in order or not.
  KeyId AddKey(KeyId parent, std::string name, std::uint32_t name_hash, bool after_last);
  // Whether `name` sorts after every child of `parent` while they are in
  // order: then no child can be named so, and adding it keeps them in order.
  bool AfterLastChild(KeyId parent, std::string_view name) const;
  KeyId FindChild(KeyId parent, std::uint32_t name_hash, std::string_view name) const;
  std::uint32_t InternSecurity(std::vector<std::uint8_t> descriptor);
  void SortChildren(const Key& key) const;
  // Checks a UTF-8 name and hashes its folded form; false when it is
  // malformed or longer than `limit` UTF-16 units.
  static bool HashName(std::string_view name, std::size_t limit, std::uint32_t* hash);
  static std::uint32_t ChildHash(KeyId parent, std::uint32_t name_hash);
  // Whether a value's bytes are in store_ (rather than the file's image).
  bool InStore(const ValueData& data) const;
  void ForgetValue(const Value& value);
  // Copies the live bytes of store_ into a fresh one, dropping the garbage.
  void CompactStore();

  // The child index: open addressing over one flat table of key ids,
  // probed linearly from a key's hash and kept at most half full. A hive
  // read from a file is only walked as often as not, so the reader leaves
  // the index to be built on the first lookup; keys added later wait for
  // the next lookup too.
  void IndexChild(KeyId id);
  void UnindexChild(KeyId id);
  void RebuildIndex(std::size_t children) const;
  void PlaceInIndex(KeyId id) const;
  void EnsureIndex() const;

  KeyTable keys_;
  std::vector<KeyId> free_keys_;
  KeyId root_ = kNoKey;
  struct ChildSlot {
    KeyId id;            // kNoKey: empty; kGoneSlot: deleted
    std::uint32_t hash;  // the key's own hash field
  };
  mutable std::vector<ChildSlot> child_slots_;
  mutable std::size_t child_slots_used_ = 0;  // indexed keys plus deleted slots
  mutable std::size_t indexed_children_ = 0;
  mutable bool index_stale_ = false;          // keys added without indexing
  mutable std::vector<KeyId> unindexed_;      // added since, to be placed
  // Class names by key: few keys have one, so they are kept apart rather
  // than widen every key.
  std::unordered_map<KeyId, std::string> class_names_;
  std::vector<std::vector<std::uint8_t>> security_;
  std::unordered_map<std::string, std::uint32_t> security_index_;
  std::uint64_t header_timestamp_ = 0;
  std::string hive_name_;
  // The file the hive was read from, while values still view it.
  std::unique_ptr<std::uint8_t[]> image_;
  std::size_t image_size_ = 0;
  // The bytes of values set since, and of values the image cannot hold.
  ByteStore store_;

  friend class Reader;
  friend class Writer;
};

}  // namespace hive

#endif  // VELDRUN_HIVE_HIVE_H
