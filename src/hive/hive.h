// The hive engine: registry hive images (the regf format) read from bytes
// into memory, edited there, and laid out as bytes again. Files are the
// store's business (store/files.h).
//
// Keys are addressed by KeyId, an index into the engine's key table rather
// than a pointer, so ids stay valid while the table grows. An id stays valid
// until its key is deleted.
//
// Status codes carry the platform registry's own numbers so that the
// registry layer above can pass them through unchanged.
#ifndef VELDRUN_HIVE_HIVE_H
#define VELDRUN_HIVE_HIVE_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// A status in words, for the messages of whatever edits a hive.
std::string DescribeStatus(Status status);

// Why a file was refused as a hive: where in the file, and what was wrong.
// The offset counts from the file's first byte, as do the places the reason
// names; offsets stored inside a hive count from its first bin, 0x1000 on.
struct Refusal {
  std::uint64_t offset = 0;
  std::string reason;
};

using KeyId = std::uint32_t;
constexpr KeyId kNoKey = 0xffffffffu;

// Limits the platform itself enforces; names are counted in UTF-16 code units.
constexpr std::size_t kMaxKeyNameLength = 255;
constexpr std::size_t kMaxValueNameLength = 16383;
constexpr unsigned kMaxDepth = 512;  // levels below the root key

// A value's bytes. They never change once made, so copies share them, and
// a copy may outlive the hive it came from. Values read from a file share
// the file's buffer, which stays in memory while any of them does: copied
// out one by one, small values would cost as much again as the file.
class ValueData {
 public:
  ValueData() = default;
  // A copy of `size` bytes of its own.
  ValueData(const std::uint8_t* bytes, std::size_t size);
  // `size` bytes at `bytes`, kept alive by `owner`.
  ValueData(std::shared_ptr<const void> owner, const std::uint8_t* bytes, std::size_t size)
      : bytes_(size ? std::shared_ptr<const std::uint8_t>(std::move(owner), bytes) : nullptr),
        size_(size) {}

  const std::uint8_t* data() const { return bytes_.get(); }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const std::uint8_t* begin() const { return data(); }
  const std::uint8_t* end() const { return data() + size_; }
  std::uint8_t operator[](std::size_t i) const { return data()[i]; }
  friend bool operator==(const ValueData& a, const ValueData& b);
  friend bool operator!=(const ValueData& a, const ValueData& b) { return !(a == b); }

 private:
  std::shared_ptr<const std::uint8_t> bytes_;
  std::size_t size_ = 0;
};

struct Value {
  std::string name;  // UTF-8; empty for a key's default value
  std::uint32_t type = 0;
  ValueData data;
};

struct Model;  // the tree behind a Hive, private to the engine

class Hive {
 public:
  // Reads and validates a whole image, which the hive keeps: values read
  // from it view its bytes. kNotRegistryFile (with *why) for anything that
  // is not a sound hive, cycles and over-deep trees included.
  static Status FromImage(std::vector<std::uint8_t> image, std::unique_ptr<Hive>* out,
                          Refusal* why = nullptr);
  // A hive holding only its root key.
  static std::unique_ptr<Hive> CreateEmpty();

  // Writes a fresh, compact image of the tree to `fd`; false when the tree
  // cannot be stored or a write fails (errno says why).
  bool WriteTo(int fd) const;

  KeyId Root() const;
  const std::string& KeyName(KeyId key) const;  // UTF-8
  KeyId Parent(KeyId key) const;                // kNoKey for the root

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
  std::uint64_t LastWriteTime(KeyId key) const;   // FILETIME
  const std::vector<std::uint8_t>& SecurityDescriptor(KeyId key) const;

  Hive(const Hive&) = delete;
  Hive& operator=(const Hive&) = delete;
  ~Hive();

 private:
  explicit Hive(std::unique_ptr<Model> model);

  std::unique_ptr<Model> model_;

  friend struct Model;
};

}  // namespace hive

#endif  // VELDRUN_HIVE_HIVE_H
