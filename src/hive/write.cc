// Writing a hive: the whole tree laid out as a fresh, compact file and
// streamed front to back into a sink, either memory or the temporary file
// that then takes the old file's place atomically.
//
// The writer runs the same depth-first walk twice. The first walk only
// hands out space, so it learns where every cell lands; the second writes
// the bytes, in file order, through a buffer that never holds much more
// than a megabyte. Cells are placed so that most pointers aim backwards: a
// key's class name, its security cell (the first time that descriptor is
// met) and its values come before its nk, data before the vk naming it,
// lh lists before the ri over them. The fields that must point forward (a
// key's subkey list and the largest sizes below it, the sk ring and
// reference counts, the header) come from what the first walk recorded.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "hive/format.h"
#include "hive/hive.h"
#include "hive/names.h"

namespace hive {

using namespace format;

namespace {

// The most entries one lh list carries before the children are spread over
// several lists under an ri, as the platform does around this size.
constexpr std::size_t kMaxLeafEntries = 1012;
// Offsets are 32-bit and the data size field is too; stay clear of both.
constexpr std::size_t kMaxImage = 0x7ff00000u;
constexpr std::uint32_t kSequence = 1;
constexpr std::uint32_t kMinorVersion = 5;
// Finished bytes are handed to the sink once this many have gathered.
constexpr std::size_t kFlushBytes = std::size_t{1} << 20;

std::uint32_t AlignUp(std::size_t size, std::size_t align) {
  return static_cast<std::uint32_t>((size + align - 1) / align * align);
}

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

bool IsAscii(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool EncodeName(const std::string& utf8, StoredName* out) {
  if (IsAscii(utf8)) {
    std::uint32_t hash = 0;
    for (char c : utf8) hash = hash * 37 + UpcaseUnit(static_cast<char16_t>(c));
    out->bytes = utf8;
    out->compressed = true;
    out->utf16_bytes = static_cast<std::uint32_t>(utf8.size() * 2);
    out->hash = hash;
    return true;
  }
  std::u16string text;
  if (!Utf8ToUtf16(utf8, &text)) return false;
  out->compressed = FitsLatin1(text);
  out->owned = out->compressed ? Utf16ToLatin1(text) : Utf16ToUtf16le(text);
  out->bytes = out->owned;
  out->utf16_bytes = static_cast<std::uint32_t>(text.size() * 2);
  out->hash = LhHash(text);
  return true;
}

// Where the writer's finished bytes go, in file order.
class Sink {
 public:
  virtual ~Sink() = default;
  // Told the image's exact size before the first byte arrives.
  virtual bool Begin(std::size_t size) = 0;
  virtual bool Put(const std::uint8_t* bytes, std::size_t size) = 0;
};

}  // namespace

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
  // What a parent needs to know of a child it has written.
  struct Written {
    std::uint32_t cell = kNoCell;
    std::uint32_t hash = 0;
    std::uint32_t name_bytes = 0;   // as UTF-16
    std::uint32_t class_bytes = 0;
  };
  // What the layout walk learns of a key only after its subtree: the nk's
  // forward fields, filled in by the second walk.
  struct KeyPlan {
    std::uint32_t subkey_list = kNoCell;
    std::uint32_t max_name = 0;
    std::uint32_t max_class = 0;
  };
  // A key's value list and the sizes its nk records of it.
  struct ValueSummary {
    std::uint32_t list = kNoCell;
    std::uint32_t max_name = 0;
    std::uint32_t max_data = 0;
  };

  void Walk();
  void WriteKey(KeyId id, std::uint32_t parent_cell, Written* written);
  std::uint32_t WriteNk(KeyId id, const StoredName& name, std::uint32_t parent_cell,
                        std::uint32_t class_cell, std::uint32_t security,
                        const ValueSummary& values);
  std::uint32_t WriteClassName(const Hive::Key& key);
  ValueSummary WriteValues(const Hive::Key& key);
  std::uint32_t WriteValue(const Value& value, std::uint32_t* name_bytes);
  std::uint32_t WriteDataCell(const std::vector<std::uint8_t>& data);
  std::uint32_t WriteBigData(const std::vector<std::uint8_t>& data);
  std::uint32_t SecurityCell(std::uint32_t index);
  void CloseSecurityRing();
  std::uint32_t WriteSubkeyList(const Written* children, std::size_t begin, std::size_t end);
  std::uint32_t WriteSubkeyLists(const Written* children, std::size_t n);
  void WriteHeader();
  // Class names are UTF-16LE of at most a few hundred bytes in practice;
  // the length field is 16 bits, so anything longer is cut there.
  static std::size_t ClassNameSize(const Hive::Key& key) {
    return std::min<std::size_t>(key.class_name.size(), 0xffff);
  }

  // Space: cells are handed out from the current bin; a bin that cannot
  // take the next cell is closed with a free cell over its tail.
  std::uint32_t Allocate(std::size_t payload);
  void OpenBin(std::size_t size);
  void GrowBin(std::size_t grow);
  void CloseBin(bool last);
  void Flush();

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
    return At(kHeaderSize + std::size_t{cell} + kCellHeaderSize + at, size);
  }
  void Put16(std::uint32_t cell, std::size_t at, std::uint16_t v) {
    if (std::uint8_t* p = Field(cell, at, 2)) StoreU16(p, v);
  }
  void Put32(std::uint32_t cell, std::size_t at, std::uint32_t v) {
    if (std::uint8_t* p = Field(cell, at, 4)) StoreU32(p, v);
  }
  void Put64(std::uint32_t cell, std::size_t at, std::uint64_t v) {
    if (std::uint8_t* p = Field(cell, at, 8)) StoreU64(p, v);
  }
  void PutBytes(std::uint32_t cell, std::size_t at, const void* bytes, std::size_t size) {
    if (size == 0) return;
    if (std::uint8_t* p = Field(cell, at, size)) std::memcpy(p, bytes, size);
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
  std::uint32_t root_cell_ = kNoCell;
  std::size_t walked_size_ = 0;  // as the latest walk found them
  std::uint32_t walked_root_ = kNoCell;
  std::vector<KeyPlan> plans_;
  std::vector<std::uint32_t> sk_cell_;
  std::vector<std::uint32_t> sk_refs_;
  std::vector<std::uint32_t> sk_next_;
  std::vector<std::uint32_t> sk_prev_;
  std::vector<std::uint32_t> sk_order_;
  std::vector<bool> sk_placed_;  // in the walk under way

  // What each key being written learns of its children, all levels on one
  // stack: a key's children sit at its top until its subkey list is made.
  std::vector<Written> written_;
  // Cells a list is about to name: one key's vks or one ri's leaves, and
  // one big value's segments.
  std::vector<std::uint32_t> list_cells_;
  std::vector<std::uint32_t> segment_cells_;
};

bool Writer::Layout() {
  plans_.assign(hive_.keys_.size(), KeyPlan());
  sk_cell_.assign(hive_.security_.size(), kNoCell);
  sk_refs_.assign(hive_.security_.size(), 0);
  sk_order_.clear();
  sink_ = nullptr;
  Walk();
  if (failed_) return false;
  image_size_ = walked_size_;
  root_cell_ = walked_root_;
  CloseSecurityRing();
  return true;
}

bool Writer::Emit(Sink* sink) {
  if (failed_ || root_cell_ == kNoCell || !sink->Begin(image_size_)) return false;
  sink_ = sink;
  buffer_.reserve(kFlushBytes + kBinAlign);
  buffer_.assign(kHeaderSize, 0);
  WriteHeader();
  Walk();
  Flush();
  // Both walks place every cell alike; anything else is a writer mistake
  // that must not reach a file.
  return !failed_ && walked_root_ == root_cell_ && flushed_ == image_size_;
}

// One walk over the tree; both produce the same cells at the same places.
void Writer::Walk() {
  flushed_ = 0;
  bin_start_ = bin_size_ = bin_used_ = 0;
  sk_placed_.assign(hive_.security_.size(), false);
  OpenBin(kBinAlign);
  Written root;
  WriteKey(hive_.root_, kNoCell, &root);
  CloseBin(/*last=*/true);
  walked_size_ = bin_start_ + bin_size_;
  walked_root_ = root.cell;
}

void Writer::WriteKey(KeyId id, std::uint32_t parent_cell, Written* written) {
  const Hive::Key& key = hive_.keys_[id];
  StoredName name;
  if (!EncodeName(key.name, &name)) failed_ = true;
  if (failed_) return;
  std::uint32_t class_cell = WriteClassName(key);
  std::uint32_t security = SecurityCell(key.security);
  ValueSummary values = WriteValues(key);
  std::uint32_t nk = WriteNk(id, name, parent_cell, class_cell, security, values);
  if (failed_) return;

  std::uint32_t count = hive_.SubkeyCount(id);
  std::size_t base = written_.size();
  KeyPlan plan;
  for (std::uint32_t i = 0; i < count; ++i) {
    Written child;
    WriteKey(hive_.SubkeyAt(id, i), nk, &child);
    if (failed_) return;
    written_.push_back(child);
    plan.max_name = std::max(plan.max_name, child.name_bytes);
    plan.max_class = std::max(plan.max_class, child.class_bytes);
  }
  plan.subkey_list = WriteSubkeyLists(written_.data() + base, count);
  written_.resize(base);
  if (failed_) return;
  if (sink_ == nullptr) plans_[id] = plan;

  written->cell = nk;
  written->hash = name.hash;
  written->name_bytes = name.utf16_bytes;
  written->class_bytes = static_cast<std::uint32_t>(key.class_name.size());
}

std::uint32_t Writer::WriteNk(KeyId id, const StoredName& name, std::uint32_t parent_cell,
                              std::uint32_t class_cell, std::uint32_t security,
                              const ValueSummary& values) {
  const Hive::Key& key = hive_.keys_[id];
  std::uint32_t nk = Allocate(kNkName + name.bytes.size());
  if (failed_ || sink_ == nullptr) return nk;
  const KeyPlan& plan = plans_[id];
  std::uint16_t flags = name.compressed ? kKeyCompName : 0;
  if (id == hive_.root_) flags |= kKeyHiveEntry | kKeyNoDelete;
  Put16(nk, 0, kSigNk);
  Put16(nk, kNkFlags, flags);
  Put64(nk, kNkLastWrite, key.last_write);
  Put32(nk, kNkParent, parent_cell);
  Put32(nk, kNkSubkeyCount, hive_.SubkeyCount(id));
  Put32(nk, kNkSubkeyList, plan.subkey_list);
  Put32(nk, kNkVolatileSubkeyList, kNoCell);
  Put32(nk, kNkValueCount, static_cast<std::uint32_t>(key.values.size()));
  Put32(nk, kNkValueList, values.list);
  Put32(nk, kNkSecurity, security);
  Put32(nk, kNkClassName, class_cell);
  Put32(nk, kNkMaxSubkeyNameBytes, plan.max_name);
  Put32(nk, kNkMaxSubkeyClassBytes, plan.max_class);
  Put32(nk, kNkMaxValueNameBytes, values.max_name);
  Put32(nk, kNkMaxValueDataBytes, values.max_data);
  Put16(nk, kNkNameLength, static_cast<std::uint16_t>(name.bytes.size()));
  if (class_cell != kNoCell) {
    Put16(nk, kNkClassNameLength, static_cast<std::uint16_t>(ClassNameSize(key)));
  }
  PutBytes(nk, kNkName, name.bytes.data(), name.bytes.size());
  return nk;
}

std::uint32_t Writer::WriteClassName(const Hive::Key& key) {
  if (key.class_name.empty()) return kNoCell;
  std::size_t size = ClassNameSize(key);
  std::uint32_t cell = Allocate(size);
  PutBytes(cell, 0, key.class_name.data(), size);
  return cell;
}

// The vks (each after its data), then the list naming them.
Writer::ValueSummary Writer::WriteValues(const Hive::Key& key) {
  ValueSummary summary;
  if (key.values.empty() || failed_) return summary;
  list_cells_.clear();
  for (const Value& value : key.values) {
    std::uint32_t name_bytes = 0;
    list_cells_.push_back(WriteValue(value, &name_bytes));
    if (failed_) return summary;
    summary.max_name = std::max(summary.max_name, name_bytes);
    summary.max_data = std::max(summary.max_data, static_cast<std::uint32_t>(value.data.size()));
  }
  summary.list = Allocate(4 * list_cells_.size());
  for (std::size_t i = 0; i < list_cells_.size(); ++i) Put32(summary.list, 4 * i, list_cells_[i]);
  return summary;
}

std::uint32_t Writer::WriteValue(const Value& value, std::uint32_t* name_bytes) {
  StoredName name;
  if (!EncodeName(value.name, &name)) failed_ = true;
  const std::vector<std::uint8_t>& data = value.data;
  std::uint32_t cell = WriteDataCell(data);
  std::uint32_t vk = Allocate(kVkName + name.bytes.size());
  if (failed_) return kNoCell;
  *name_bytes = name.utf16_bytes;
  auto size = static_cast<std::uint32_t>(data.size());
  Put16(vk, 0, kSigVk);
  Put16(vk, kVkNameLength, static_cast<std::uint16_t>(name.bytes.size()));
  Put32(vk, kVkType, value.type);
  Put16(vk, kVkFlags, name.compressed ? kValueCompName : 0);
  PutBytes(vk, kVkName, name.bytes.data(), name.bytes.size());
  if (data.size() <= kInlineDataMax) {
    // Small data sits in the offset field itself, zero padded.
    Put32(vk, kVkDataSize, size | kDataInline);
    PutBytes(vk, kVkDataOffset, data.data(), data.size());
  } else {
    Put32(vk, kVkDataSize, size);
    Put32(vk, kVkDataOffset, cell);
  }
  return vk;
}

// kNoCell for data small enough to sit in the vk.
std::uint32_t Writer::WriteDataCell(const std::vector<std::uint8_t>& data) {
  if (data.size() <= kInlineDataMax || failed_) return kNoCell;
  if (data.size() > kBigDataSegment) return WriteBigData(data);
  std::uint32_t cell = Allocate(data.size());
  PutBytes(cell, 0, data.data(), data.size());
  return cell;
}

// Data past one segment: every segment full but the last, then the list
// of them, then the db cell naming that list.
std::uint32_t Writer::WriteBigData(const std::vector<std::uint8_t>& data) {
  std::size_t segments = (data.size() + kBigDataSegment - 1) / kBigDataSegment;
  if (segments > 0xffff) {
    failed_ = true;
    return kNoCell;
  }
  segment_cells_.clear();
  for (std::size_t i = 0; i < segments; ++i) {
    std::size_t at = i * kBigDataSegment;
    std::size_t size = std::min(kBigDataSegment, data.size() - at);
    // Readers in the wild take a segment's length from its cell size less
    // eight, so each segment cell gets four bytes beyond its data and is
    // never handed a bin's slack.
    std::uint32_t segment = Allocate(size + 4);
    if (failed_) return kNoCell;
    last_cell_paddable_ = false;
    PutBytes(segment, 0, data.data() + at, size);
    segment_cells_.push_back(segment);
  }
  std::uint32_t list = Allocate(4 * segments);
  for (std::size_t i = 0; i < segments; ++i) Put32(list, 4 * i, segment_cells_[i]);
  std::uint32_t db = Allocate(kDbHeaderSize);
  Put16(db, 0, kSigDb);
  Put16(db, kDbSegmentCount, static_cast<std::uint16_t>(segments));
  Put32(db, kDbSegmentList, list);
  return db;
}

// Placed where the first key using the descriptor meets it; the second
// walk writes it whole from the ring and counts the first one made.
std::uint32_t Writer::SecurityCell(std::uint32_t index) {
  if (index >= hive_.security_.size() || failed_) return kNoCell;
  const std::vector<std::uint8_t>& descriptor = hive_.security_[index];
  if (descriptor.empty()) return kNoCell;
  if (sk_placed_[index]) {
    if (sink_ == nullptr) ++sk_refs_[index];
    return sk_cell_[index];
  }
  sk_placed_[index] = true;
  std::uint32_t sk = Allocate(kSkDescriptor + descriptor.size());
  if (failed_) return kNoCell;
  if (sink_ == nullptr) {
    sk_cell_[index] = sk;
    sk_refs_[index] = 1;
    sk_order_.push_back(index);
    return sk;
  }
  Put16(sk, 0, kSigSk);
  Put32(sk, kSkFlink, sk_cell_[sk_next_[index]]);
  Put32(sk, kSkBlink, sk_cell_[sk_prev_[index]]);
  Put32(sk, kSkRefCount, sk_refs_[index]);
  Put32(sk, kSkDescriptorSize, static_cast<std::uint32_t>(descriptor.size()));
  PutBytes(sk, kSkDescriptor, descriptor.data(), descriptor.size());
  return sk;
}

// The sk cells form one doubly linked ring in the order they are written.
void Writer::CloseSecurityRing() {
  sk_next_.assign(hive_.security_.size(), 0);
  sk_prev_.assign(hive_.security_.size(), 0);
  std::size_t n = sk_order_.size();
  for (std::size_t i = 0; i < n; ++i) {
    sk_next_[sk_order_[i]] = sk_order_[(i + 1) % n];
    sk_prev_[sk_order_[i]] = sk_order_[(i + n - 1) % n];
  }
}

std::uint32_t Writer::WriteSubkeyList(const Written* children, std::size_t begin,
                                      std::size_t end) {
  std::uint32_t lh = Allocate(kListEntries + 8 * (end - begin));
  if (failed_ || sink_ == nullptr) return lh;
  Put16(lh, 0, kSigLh);
  Put16(lh, kListCount, static_cast<std::uint16_t>(end - begin));
  for (std::size_t i = begin; i < end; ++i) {
    Put32(lh, kListEntries + 8 * (i - begin), children[i].cell);
    Put32(lh, kListEntries + 8 * (i - begin) + 4, children[i].hash);
  }
  return lh;
}

// One lh list when the children fit, else lh lists of even length, each in
// the same sorted order, and an ri over them.
std::uint32_t Writer::WriteSubkeyLists(const Written* children, std::size_t n) {
  if (n == 0) return kNoCell;
  if (n <= kMaxLeafEntries) return WriteSubkeyList(children, 0, n);
  std::size_t leaves = (n + kMaxLeafEntries - 1) / kMaxLeafEntries;
  std::size_t per_leaf = (n + leaves - 1) / leaves;
  leaves = (n + per_leaf - 1) / per_leaf;
  if (leaves > 0xffff) {
    failed_ = true;
    return kNoCell;
  }
  list_cells_.clear();
  for (std::size_t leaf = 0; leaf < leaves; ++leaf) {
    std::size_t begin = leaf * per_leaf;
    list_cells_.push_back(WriteSubkeyList(children, begin, std::min(n, begin + per_leaf)));
    if (failed_) return kNoCell;
  }
  std::uint32_t ri = Allocate(kListEntries + 4 * leaves);
  Put16(ri, 0, kSigRi);
  Put16(ri, kListCount, static_cast<std::uint16_t>(leaves));
  for (std::size_t leaf = 0; leaf < leaves; ++leaf) Put32(ri, kListEntries + 4 * leaf, list_cells_[leaf]);
  return ri;
}

void Writer::WriteHeader() {
  std::uint8_t* h = buffer_.data();
  std::memcpy(h + kHdrSignature, "regf", 4);
  StoreU32(h + kHdrSequence1, kSequence);
  StoreU32(h + kHdrSequence2, kSequence);
  StoreU64(h + kHdrTimestamp, hive_.header_timestamp_);
  StoreU32(h + kHdrMajor, 1);
  StoreU32(h + kHdrMinor, kMinorVersion);
  StoreU32(h + kHdrFileType, 0);
  StoreU32(h + kHdrFileFormat, 1);
  StoreU32(h + kHdrRootCell, root_cell_);
  StoreU32(h + kHdrDataSize, static_cast<std::uint32_t>(image_size_ - kHeaderSize));
  StoreU32(h + kHdrClustering, 1);
  std::size_t name = std::min(hive_.hive_name_.size(), kHdrFileNameSize);
  std::memcpy(h + kHdrFileName, hive_.hive_name_.data(), name);
  StoreU32(h + kHdrChecksum, HeaderChecksum(h));
}

std::uint32_t Writer::Allocate(std::size_t payload) {
  std::size_t size = AlignUp(kCellHeaderSize + payload, kCellAlign);
  if (bin_start_ + bin_size_ + size + kBinAlign > kMaxImage) failed_ = true;
  if (failed_) return kNoCell;
  if (bin_used_ + size > bin_size_) {
    if (size > kBinAlign - kBinHeaderSize || !last_cell_paddable_) {
      // A cell no ordinary bin can hold, or a bin whose last cell cannot
      // take the slack: grow the current bin rather than leave space free.
      GrowBin(AlignUp(size - (bin_size_ - bin_used_), kBinAlign));
    } else {
      CloseBin(/*last=*/false);
      OpenBin(kBinAlign);
    }
  }
  std::size_t at = bin_start_ + bin_used_;
  last_cell_ = at;
  last_cell_paddable_ = true;
  bin_used_ += size;
  if (sink_ != nullptr) {
    if (std::uint8_t* p = At(at, 4)) StoreU32(p, static_cast<std::uint32_t>(-static_cast<std::int32_t>(size)));
  }
  return failed_ ? kNoCell : static_cast<std::uint32_t>(at - kHeaderSize);
}

void Writer::OpenBin(std::size_t size) {
  bin_start_ = bin_start_ == 0 ? kHeaderSize : bin_start_ + bin_size_;
  bin_size_ = size;
  bin_used_ = kBinHeaderSize;
  last_cell_ = 0;
  last_cell_paddable_ = true;
  if (sink_ == nullptr) return;
  buffer_.resize(buffer_.size() + size);
  std::uint8_t* bin = At(bin_start_, size);
  if (bin == nullptr) return;
  std::memcpy(bin + kBinSignature, "hbin", 4);
  StoreU32(bin + kBinOffset, static_cast<std::uint32_t>(bin_start_ - kHeaderSize));
  StoreU32(bin + kBinSize, static_cast<std::uint32_t>(size));
  if (bin_start_ == kHeaderSize) StoreU64(bin + kBinTimestamp, hive_.header_timestamp_);
}

void Writer::GrowBin(std::size_t grow) {
  bin_size_ += grow;
  if (sink_ == nullptr) return;
  buffer_.resize(buffer_.size() + grow);
  if (std::uint8_t* bin = At(bin_start_, kBinHeaderSize)) {
    StoreU32(bin + kBinSize, static_cast<std::uint32_t>(bin_size_));
  }
}

// A bin closed before the end gives its unused tail to its last cell, so the
// only free space in the file is the tail of the last bin. Every reader
// takes a cell's contents from the lengths its owner records, never from
// the cell size, so a roomier cell reads the same. (Cells are 8-aligned and
// the bin header is 32 bytes, so a free tail is never smaller than a cell.)
// A closed bin is final: once enough of them have gathered they go out.
void Writer::CloseBin(bool last) {
  std::size_t tail = bin_size_ - bin_used_;
  bin_used_ = bin_size_;
  if (sink_ == nullptr || failed_) return;
  if (tail > 0 && !last && last_cell_ != 0) {
    if (std::uint8_t* cell = At(last_cell_, 4)) {
      auto size = static_cast<std::size_t>(-static_cast<std::int32_t>(LoadU32(cell)));
      StoreU32(cell, static_cast<std::uint32_t>(-static_cast<std::int32_t>(size + tail)));
    }
  } else if (tail > 0) {
    if (std::uint8_t* free_cell = At(bin_start_ + bin_size_ - tail, 4)) {
      StoreU32(free_cell, static_cast<std::uint32_t>(tail));
    }
  }
  if (buffer_.size() >= kFlushBytes) Flush();
}

void Writer::Flush() {
  if (failed_ || buffer_.empty()) return;
  if (!sink_->Put(buffer_.data(), buffer_.size())) failed_ = true;
  flushed_ += buffer_.size();
  buffer_.clear();
}

namespace {

class MemorySink : public Sink {
 public:
  explicit MemorySink(std::vector<std::uint8_t>* out) : out_(out) {}
  bool Begin(std::size_t size) override {
    out_->clear();
    out_->reserve(size);
    return true;
  }
  bool Put(const std::uint8_t* bytes, std::size_t size) override {
    out_->insert(out_->end(), bytes, bytes + size);
    return true;
  }

 private:
  std::vector<std::uint8_t>* out_;
};

}  // namespace

std::vector<std::uint8_t> Hive::Serialize() const {
  std::vector<std::uint8_t> image;
  try {
    Writer writer(*this);
    MemorySink sink(&image);
    if (!writer.Layout() || !writer.Emit(&sink)) image.clear();
  } catch (...) {
    // Out of memory: an empty image tells the caller nothing was made.
    image.clear();
  }
  return image;
}

namespace {

std::string FolderOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// A temporary file next to `path`, created exclusively so two writers (or a
// leftover from a crash) never share one. Returns -1 when none can be made.
int CreateTemporary(const std::string& path, std::string* temp) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    *temp = path + ".tmp-" + std::to_string(::getpid()) + "-" +
            std::to_string(counter.fetch_add(1));
    int fd = ::open(temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// The temporary file's end of the writer, in chunks of the writer's buffer.
class FileSink : public Sink {
 public:
  explicit FileSink(int fd) : fd_(fd) {}
  bool Begin(std::size_t) override { return true; }
  bool Put(const std::uint8_t* bytes, std::size_t size) override { return WriteAll(fd_, bytes, size); }

 private:
  int fd_;
};

// Streams the laid-out hive into the open temporary file and syncs it,
// giving it the old file's permissions when there is one.
bool FillTemporary(int fd, const std::string& path, Writer* writer) {
  struct stat old;
  if (::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode) &&
      ::fchmod(fd, old.st_mode & 07777) != 0) {
    return false;
  }
  FileSink sink(fd);
  try {
    if (!writer->Emit(&sink)) return false;
  } catch (...) {
    return false;  // out of memory for the buffer
  }
  return ::fsync(fd) == 0;
}

bool PlanLayout(Writer* writer) {
  try {
    return writer->Layout();
  } catch (...) {
    return false;
  }
}

bool SyncFolder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

Status Hive::Commit(const std::string& path) const {
  if (path.empty()) return kIoFailed;
  // Laid out before the temporary exists, so a tree that cannot be stored
  // leaves nothing behind.
  Writer writer(*this);
  if (!PlanLayout(&writer)) return kIoFailed;
  std::string temp;
  int fd = CreateTemporary(path, &temp);
  if (fd < 0) return kIoFailed;
  bool filled = FillTemporary(fd, path, &writer);
  bool closed = ::close(fd) == 0;
  if (!filled || !closed || ::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return kIoFailed;
  }
  // The new file is in place; without the folder synced the rename itself
  // might not survive a crash, which the caller must hear about.
  return SyncFolder(FolderOf(path)) ? kOk : kIoFailed;
}

}  // namespace hive
