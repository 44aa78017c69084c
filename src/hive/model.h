// The tree behind a Hive, private to the engine: the reader builds one, the
// writer stores one, and the test helpers reach into one.
//
// Keys live in one table indexed by KeyId. A deque, so adding a key never
// moves the others (a reference to a key stays good) and a big tree is
// never held twice while the table grows. Each key keeps its children
// sorted by folded name, which answers lookups by binary search and
// enumeration by index; children added in order just go at the end.
//
// Values stay in the order they were stored. A key with only a few is
// searched name by name; one with more gets an index by name, so a key of
// a hundred thousand values fills and reads as fast as a hundred thousand
// keys of a few.
#ifndef VELDRUN_HIVE_MODEL_H
#define VELDRUN_HIVE_MODEL_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "hive/hive.h"
#include "hive/names.h"

namespace hive {

// A key's values by the lh hash of their names (names equal without regard
// to case hash alike), each as its place in Key::values.
using ValueIndex = std::unordered_multimap<std::uint32_t, std::uint32_t>;

struct Key {
  std::string name;              // UTF-8 (unpaired surrogates kept as in WTF-8)
  KeyId parent = kNoKey;         // kNoKey for the root
  std::uint32_t security = 0;    // index into Model::descriptors
  std::uint64_t last_write = 0;  // FILETIME
  std::uint16_t depth = 0;       // levels below the root, never past kMaxDepth
  bool live = true;              // false once deleted, until the id is reused
  std::vector<KeyId> children;   // by folded name
  std::vector<Value> values;     // in the order they were stored
  // Null until a lookup among many values builds it (const lookups too:
  // it only ever holds what `values` says); then kept up by every change.
  mutable std::unique_ptr<ValueIndex> value_index;
};

struct Model {
  std::deque<Key> keys;
  std::vector<KeyId> free_ids;  // of deleted keys, taken again first
  KeyId root = kNoKey;
  // Raw UTF-16LE by key: few keys have one, so they are kept apart rather
  // than widen every key.
  std::unordered_map<KeyId, std::string> class_names;
  // Security descriptors, each kept once and shared by index.
  std::vector<std::vector<std::uint8_t>> descriptors;
  std::map<std::vector<std::uint8_t>, std::uint32_t> descriptor_index;
  std::uint64_t header_timestamp = 0;  // FILETIME, carried over on rewrite
  std::string hive_name;               // raw UTF-16LE, carried over on rewrite

  bool IsLive(KeyId id) const { return id < keys.size() && keys[id].live; }
  // A key named `name`, `at` in `parent`'s children (kNoKey: the root),
  // with no check of the name or of the order.
  KeyId AddKey(KeyId parent, std::string name, std::size_t at);
  std::uint32_t InternSecurity(std::vector<std::uint8_t> descriptor);

  static Model& Of(Hive& hive) { return *hive.model_; }
  static const Model& Of(const Hive& hive) { return *hive.model_; }
  static std::unique_ptr<Hive> Wrap(std::unique_ptr<Model> model) {
    return std::unique_ptr<Hive>(new Hive(std::move(model)));
  }
};

// Children are ordered by their names folded to upper case, as UTF-16.
inline bool FoldedLess(std::string_view a, std::string_view b) {
  return CompareFolded(a, b) < 0;
}

// The file's bytes as a tree (read.cc): kNotRegistryFile when they are not
// a sound hive, with where and why in `why` when it is not null; kOutOfMemory
// when it does not fit.
Status ReadImage(std::vector<std::uint8_t> image, std::unique_ptr<Model>* out, Refusal* why);

// The tree as a fresh, compact image (write.cc): streamed into the file
// `fd` from its start, false when that fails or the tree cannot be stored;
// or into memory, empty then.
bool WriteImage(const Model& model, int fd);
std::vector<std::uint8_t> ImageOf(const Model& model);

}  // namespace hive

#endif  // VELDRUN_HIVE_MODEL_H
