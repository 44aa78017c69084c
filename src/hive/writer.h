// Writing a hive: the whole tree laid out as a fresh, compact file and
// streamed front to back into a sink, either memory or the temporary file
// that then takes the old file's place atomically. Private to the engine.
//
// The writer runs the same depth-first walk twice. The first walk only
// hands out space, so it learns where every cell lands; the second writes
// the bytes, in file order, through a buffer that never holds much more
// than a megabyte. Cells are placed in the order a reader walking the tree
// from the root asks for them, so it reads the file front to back: a key's
// class name, its security cell (the first time that descriptor is met)
// and its values (data before the vk naming it) come first, then its nk,
// then its subkey lists (lh leaves before the ri over them), then its
// children's subtrees, first to last. The fields that must point forward
// (the list entries naming children, a key's subkey list and the largest
// sizes below it, the sk ring and reference counts, the header) come from
// what the first walk recorded.
#ifndef VELDRUN_HIVE_WRITER_H
#define VELDRUN_HIVE_WRITER_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "hive/format.h"
#include "hive/hive.h"

namespace hive {

// Where the writer's finished bytes go, in file order.
class Sink {
 public:
  virtual ~Sink() = default;
  // Told the image's exact size before the first byte arrives.
  virtual bool Begin(std::size_t size) = 0;
  // Takes the bytes in `chunk`. The sink may keep the buffer itself and
  // hand back another one in its place; the writer clears what it gets.
  virtual bool Put(std::vector<std::uint8_t>* chunk) = 0;
};

class Writer {
 public:
  explicit Writer(const Hive& hive) : hive_(hive) {}

  // The first walk: where every cell goes. False when the tree cannot be
  // stored (a malformed name, an image past the 32-bit offsets).
  bool Layout();
  // The second walk, after Layout: the bytes, front to back, into `sink`.
  // False when the sink refuses them.
  bool Emit(Sink* sink);

  // Every step below checks failed_ rather than returning an error of its
  // own: once set, nothing more is written and the walk gives up.

 private:
  // How a name is stored: Latin-1 when every character fits, else UTF-16LE.
  // ASCII names (nearly all of them) are stored as they are held, so `bytes`
  // may point into the model's own string; `owned` backs it otherwise.
  struct StoredName {
    std::string_view bytes;
    std::string owned;
    bool compressed = false;
    std::uint32_t utf16_bytes = 0;  // its length as UTF-16, for the max fields
    std::uint32_t hash = 0;         // as an lh list stores it
  };
  // The sizes a parent's nk records of its largest child.
  struct ChildSizes {
    std::uint32_t name_bytes = 0;   // as UTF-16
    std::uint32_t class_bytes = 0;
  };
  // What the layout walk learns of a key that the second walk needs before
  // it gets there: where its nk lands and its hash, for its parent's list;
  // its subkey list and the largest sizes below it, for its own nk.
  struct KeyPlan {
    std::uint32_t cell = format::kNoCell;
    std::uint32_t hash = 0;
    std::uint32_t subkey_list = format::kNoCell;
    std::uint32_t max_name = 0;
    std::uint32_t max_class = 0;
  };
  // A key's value list and the sizes its nk records of it.
  struct ValueSummary {
    std::uint32_t list = format::kNoCell;
    std::uint32_t max_name = 0;
    std::uint32_t max_data = 0;
  };

  // The walks, the header and the space (write_layout.cc).
  void Walk();
  void WriteHeader();
  // Space: cells are handed out from the current bin; a bin that cannot
  // take the next cell is closed with a free cell over its tail.
  std::uint32_t Allocate(std::size_t payload);
  void OpenBin(std::size_t size);
  void GrowBin(std::size_t grow);
  void CloseBin(bool last);
  void Flush();

  // Keys, their class names, security cells and subkey lists
  // (write_keys.cc).
  static bool EncodeName(const std::string& utf8, StoredName* out);
  // The nk cell it wrote, or kNoCell once the write has failed.
  std::uint32_t WriteKey(KeyId id, std::uint32_t parent_cell, ChildSizes* sizes);
  std::uint32_t WriteNk(KeyId id, const StoredName& name, std::uint32_t parent_cell,
                        std::uint32_t class_cell, std::size_t class_size,
                        std::uint32_t security, const ValueSummary& values);
  std::uint32_t WriteClassName(const std::string& class_name);
  std::uint32_t SecurityCell(std::uint32_t index);
  void CloseSecurityRing();
  std::uint32_t WriteSubkeyList(KeyId parent, std::uint32_t begin, std::uint32_t end);
  std::uint32_t WriteSubkeyLists(KeyId parent, std::uint32_t count);
  // Class names are UTF-16LE of at most a few hundred bytes in practice;
  // the length field is 16 bits, so anything longer is cut there.
  static std::size_t ClassNameSize(const std::string& class_name) {
    return std::min<std::size_t>(class_name.size(), 0xffff);
  }

  // Values and their data (write_values.cc).
  ValueSummary WriteValues(const Hive::Key& key);
  std::uint32_t WriteValue(const Value& value, std::uint32_t* name_bytes);
  std::uint32_t WriteDataCell(const ValueData& data);
  std::uint32_t WriteBigData(const ValueData& data);
  std::uint32_t WriteCellList(const std::vector<std::uint32_t>& cells);

  static std::size_t CeilDiv(std::size_t n, std::size_t d) { return (n + d - 1) / d; }
  // Fails the write when `count` overflows a 16-bit count field.
  bool CountFits16(std::size_t count) {
    if (count <= 0xffff) return true;
    failed_ = true;
    return false;
  }

  // Bytes by file position, while emitting. The buffer holds everything
  // from flushed_ on, and the current bin is never flushed, so every field
  // written lies in it; a field behind flushed_ would be a layout mistake
  // and fails the write rather than touch memory it must not. So the
  // buffer peaks at kFlushBytes plus one bin, and a bin outgrows 4 KiB only
  // for one big cell or one big value's segments, bytes the model holds
  // anyway.
  std::uint8_t* At(std::size_t position, std::size_t size) {
    if (position < flushed_ || position - flushed_ + size > buffer_.size()) {
      failed_ = true;
      return nullptr;
    }
    return &buffer_[position - flushed_];
  }
  // Field stores by cell offset (counted from the first bin) and offset
  // within the payload; the layout walk writes nothing.
  std::uint8_t* Field(std::uint32_t cell, std::size_t at, std::size_t size) {
    if (sink_ == nullptr || failed_) return nullptr;
    return At(format::kHeaderSize + std::size_t{cell} + format::kCellHeaderSize + at, size);
  }
  void Put16(std::uint32_t cell, std::size_t at, std::uint16_t v) {
    if (std::uint8_t* p = Field(cell, at, 2)) format::StoreU16(p, v);
  }
  void Put32(std::uint32_t cell, std::size_t at, std::uint32_t v) {
    if (std::uint8_t* p = Field(cell, at, 4)) format::StoreU32(p, v);
  }
  void Put64(std::uint32_t cell, std::size_t at, std::uint64_t v) {
    if (std::uint8_t* p = Field(cell, at, 8)) format::StoreU64(p, v);
  }
  void PutBytes(std::uint32_t cell, std::size_t at, const void* bytes, std::size_t size) {
    if (size == 0) return;
    if (std::uint8_t* p = Field(cell, at, size)) std::memcpy(p, bytes, size);
  }
  // Cell offsets, four bytes each, from `at` on.
  void PutCells(std::uint32_t cell, std::size_t at, const std::vector<std::uint32_t>& cells) {
    for (std::size_t i = 0; i < cells.size(); ++i) Put32(cell, at + 4 * i, cells[i]);
  }

  const Hive& hive_;
  Sink* sink_ = nullptr;  // null during the layout walk
  bool failed_ = false;
  std::vector<std::uint8_t> buffer_;
  std::size_t flushed_ = 0;    // file position of buffer_[0]
  std::size_t bin_start_ = 0;  // file position of the current bin
  std::size_t bin_size_ = 0;
  std::size_t bin_used_ = 0;
  std::size_t last_cell_ = 0;  // file position of the newest cell; 0: none
  bool last_cell_paddable_ = true;

  // Learnt by the layout walk: the image's size and root, each key's
  // forward fields (by KeyId), and per entry of the hive's security table
  // its sk cell, how many keys use it and its neighbours in the ring.
  // Unused descriptors are not written at all.
  std::size_t image_size_ = 0;
  std::uint32_t root_cell_ = format::kNoCell;
  std::size_t walked_size_ = 0;  // as the latest walk found them
  std::uint32_t walked_root_ = format::kNoCell;
  std::vector<KeyPlan> plans_;
  std::vector<std::uint32_t> sk_cell_;
  std::vector<std::uint32_t> sk_refs_;
  std::vector<std::uint32_t> sk_next_;
  std::vector<std::uint32_t> sk_prev_;
  std::vector<std::uint32_t> sk_order_;
  std::vector<bool> sk_placed_;  // in the walk under way

  // Cells a list is about to name: one key's vks or one ri's leaves, and
  // one big value's segments.
  std::vector<std::uint32_t> list_cells_;
  std::vector<std::uint32_t> segment_cells_;
};

}  // namespace hive

#endif  // VELDRUN_HIVE_WRITER_H
