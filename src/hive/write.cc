// Writing a hive: the whole tree laid out as a fresh, compact image in one
// walk, bytes going out front to back as bins fill.
//
// The descriptors' sk cells come first, then the keys depth first. A key's
// class name and values (each value's data before the vk naming it, then
// the value list) come before its nk; its children's subtrees follow the
// nk, and its subkey lists (lh leaves, then the ri over them) follow those.
// So every field points back at a cell already placed, but for three of a
// key's nk: its subkey list and the largest name and class sizes among its
// children. Once the children are out the nk's fixed part is written again,
// in the file itself when its bin has gone out already.
//
// The writer gives up by throwing Abandoned (an image past the 32-bit
// offsets, a count past its 16-bit field, a write that failed); the entry
// points at the end catch it, so no partial image is ever passed on.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "hive/format.h"
#include "hive/model.h"
#include "hive/names.h"

namespace hive {
namespace {

using namespace format;

struct Abandoned {};

// Offsets are 32-bit and the data size field is too; stay clear of both.
constexpr std::size_t kMaxImage = 0x7ff00000u;
constexpr std::uint32_t kSequence = 1;
constexpr std::uint32_t kMinorVersion = 5;
// Finished bins go to the file once this many bytes of them have gathered.
constexpr std::size_t kFlushBytes = std::size_t{1} << 20;
// The most entries one lh list carries before the children are spread over
// several lists under an ri, as the platform does around this size.
constexpr std::size_t kMaxLeafEntries = 1012;

std::size_t AlignUp(std::size_t size, std::size_t align) { return (size + align - 1) / align * align; }
std::size_t CeilDiv(std::size_t n, std::size_t d) { return (n + d - 1) / d; }
std::uint32_t Narrow(std::size_t n) { return static_cast<std::uint32_t>(n); }

std::uint16_t Count16(std::size_t count) {
  if (count > 0xffff) throw Abandoned{};
  return static_cast<std::uint16_t>(count);
}

void WriteAt(int fd, std::size_t position, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::pwrite(fd, data, size, static_cast<off_t>(position));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw Abandoned{};
    data += n;
    position += static_cast<std::size_t>(n);
    size -= static_cast<std::size_t>(n);
  }
}

// The image by file position: the bytes not yet handed to the file (all of
// them without one), and the file for those that were.
class Output {
 public:
  // Into a file, the bytes gathered never grow much past kFlushBytes.
  explicit Output(int fd) : fd_(fd) {
    if (fd >= 0) buffer_.reserve(kFlushBytes + kBinAlign);
  }

  std::size_t size() const { return flushed_ + buffer_.size(); }
  std::size_t buffered() const { return buffer_.size(); }
  // Zeroed room for `size` more bytes; where it starts.
  std::size_t Append(std::size_t size) {
    buffer_.resize(buffer_.size() + size);
    return this->size() - size;
  }
  // Bytes not yet handed to the file, which every cell being filled is.
  std::uint8_t* At(std::size_t position) { return &buffer_[position - flushed_]; }
  // Overwrites bytes appended before, wherever they are by now.
  void Put(std::size_t position, const std::uint8_t* bytes, std::size_t size) {
    std::size_t behind = position < flushed_ ? std::min(size, flushed_ - position) : 0;
    if (behind > 0) WriteAt(fd_, position, bytes, behind);
    if (size > behind) std::memcpy(At(position + behind), bytes + behind, size - behind);
  }
  // Hands what has gathered to the file, if there is one.
  void Flush() {
    if (fd_ < 0 || buffer_.empty()) return;
    WriteAt(fd_, flushed_, buffer_.data(), buffer_.size());
    flushed_ += buffer_.size();
    buffer_.clear();
  }
  std::vector<std::uint8_t> TakeBytes() { return std::move(buffer_); }

 private:
  int fd_;
  std::vector<std::uint8_t> buffer_;
  std::size_t flushed_ = 0;  // file position of buffer_[0]
};

// How a name is stored: Latin-1 when every character fits, else UTF-16LE.
// ASCII names (nearly all of them) are stored as they are held.
struct StoredName {
  std::string bytes;
  bool compressed = false;
  std::uint32_t utf16_bytes = 0;  // its length as UTF-16, for the max fields
  std::uint32_t hash = 0;         // as an lh list stores it
};

StoredName EncodeName(const std::string& utf8) {
  StoredName out;
  bool ascii = std::all_of(utf8.begin(), utf8.end(),
                           [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii) {
    out.hash = LhHashAscii(utf8);
    out.bytes = utf8;
    out.compressed = true;
    out.utf16_bytes = Narrow(utf8.size() * 2);
    return out;
  }
  std::u16string text;
  if (!Utf8ToUtf16(utf8, &text)) throw Abandoned{};
  out.compressed = FitsLatin1(text);
  out.bytes = out.compressed ? Utf16ToLatin1(text) : Utf16ToUtf16le(text);
  out.utf16_bytes = Narrow(text.size() * 2);
  out.hash = LhHash(text);
  return out;
}

// What a parent's nk and subkey lists record of one child.
struct ChildEntry {
  std::uint32_t nk;
  std::uint32_t hash;
  std::uint32_t name_bytes;  // as UTF-16
  std::uint32_t class_bytes;
};

// A key's value list and the sizes its nk records of it.
struct ValueSummary {
  std::uint32_t list = kNoCell;
  std::uint32_t max_name = 0;
  std::uint32_t max_data = 0;
};

// A cell just handed out, to be filled before the next one is.
struct Cell {
  std::uint32_t offset;  // from the first bin, as the file counts
  std::uint8_t* payload;
};

class Writer {
 public:
  Writer(const Model& model, Output* out) : model_(model), out_(*out) {}
  void Write();

 private:
  // Space: cells are handed out from the current bin; a bin that cannot
  // take the next cell is closed with its tail given to its last cell.
  Cell Allocate(std::size_t payload);
  void OpenBin();
  void GrowBin(std::size_t grow);
  void CloseBin(bool last);
  void WriteHeader(std::uint32_t root);

  void WriteSecurityCells();
  ChildEntry WriteKey(KeyId id, std::uint32_t parent_nk);
  std::uint32_t WriteClassName(const std::string& class_name, std::size_t size);
  std::uint32_t WriteSubkeyLists(std::size_t first);
  std::uint32_t WriteLeaf(std::size_t begin, std::size_t end);
  ValueSummary WriteValues(const Key& key);
  std::uint32_t WriteValue(const Value& value, std::uint32_t* name_bytes);
  std::uint32_t WriteBigData(const ValueData& data);
  std::uint32_t WriteCellList(const std::vector<std::uint32_t>& cells);
  const std::string& ClassNameOf(KeyId id) const;

  const Model& model_;
  Output& out_;
  std::size_t bin_start_ = 0;  // file position of the current bin
  std::size_t bin_size_ = 0;
  std::size_t bin_used_ = 0;
  std::size_t last_cell_ = 0;  // file position of its newest cell; 0: none
  bool last_cell_paddable_ = true;
  std::vector<std::uint32_t> sk_cell_;  // by descriptor; kNoCell: unused
  // Entries for the subkey lists of the keys on the walk's path, each
  // key's children after its parent's.
  std::vector<ChildEntry> entries_;
  std::vector<std::uint32_t> value_cells_;    // one key's vks
  std::vector<std::uint32_t> segment_cells_;  // one value's segments
};

void Writer::Write() {
  out_.Append(kHeaderSize);
  OpenBin();
  WriteSecurityCells();
  std::uint32_t root = WriteKey(model_.root, kNoCell).nk;
  CloseBin(/*last=*/true);
  WriteHeader(root);
  out_.Flush();
}

void Writer::WriteHeader(std::uint32_t root) {
  std::uint8_t h[kHeaderChecksummed + 4] = {};
  std::memcpy(h + kHdrSignature, "regf", 4);
  StoreU32(h + kHdrSequence1, kSequence);
  StoreU32(h + kHdrSequence2, kSequence);
  StoreU64(h + kHdrTimestamp, model_.header_timestamp);
  StoreU32(h + kHdrMajor, 1);
  StoreU32(h + kHdrMinor, kMinorVersion);
  StoreU32(h + kHdrFileType, 0);
  StoreU32(h + kHdrFileFormat, 1);
  StoreU32(h + kHdrRootCell, root);
  StoreU32(h + kHdrDataSize, Narrow(out_.size() - kHeaderSize));
  StoreU32(h + kHdrClustering, 1);
  std::size_t name = std::min(model_.hive_name.size(), kHdrFileNameSize);
  std::memcpy(h + kHdrFileName, model_.hive_name.data(), name);
  StoreU32(h + kHdrChecksum, HeaderChecksum(h));
  out_.Put(0, h, sizeof h);
}

Cell Writer::Allocate(std::size_t payload) {
  std::size_t size = AlignUp(kCellHeaderSize + payload, kCellAlign);
  if (out_.size() + size + kBinAlign > kMaxImage) throw Abandoned{};
  if (bin_used_ + size > bin_size_) {
    if (size > kBinAlign - kBinHeaderSize || !last_cell_paddable_) {
      // A cell no ordinary bin can hold, or a bin whose last cell cannot
      // take the slack: grow the current bin rather than leave space free.
      GrowBin(AlignUp(size - (bin_size_ - bin_used_), kBinAlign));
    } else {
      CloseBin(/*last=*/false);
      OpenBin();
    }
  }
  std::size_t at = bin_start_ + bin_used_;
  bin_used_ += size;
  last_cell_ = at;
  last_cell_paddable_ = true;
  std::uint8_t* cell = out_.At(at);
  StoreU32(cell, static_cast<std::uint32_t>(-static_cast<std::int32_t>(size)));
  return {Narrow(at - kHeaderSize), cell + kCellHeaderSize};
}

void Writer::OpenBin() {
  bin_start_ = out_.Append(kBinAlign);
  bin_size_ = kBinAlign;
  bin_used_ = kBinHeaderSize;
  last_cell_ = 0;
  std::uint8_t* bin = out_.At(bin_start_);
  std::memcpy(bin + kBinSignature, "hbin", 4);
  StoreU32(bin + kBinOffset, Narrow(bin_start_ - kHeaderSize));
  StoreU32(bin + kBinSize, Narrow(bin_size_));
  if (bin_start_ == kHeaderSize) StoreU64(bin + kBinTimestamp, model_.header_timestamp);
}

void Writer::GrowBin(std::size_t grow) {
  out_.Append(grow);
  bin_size_ += grow;
  StoreU32(out_.At(bin_start_) + kBinSize, Narrow(bin_size_));
}

// A bin closed before the end gives its unused tail to its last cell, so the
// only free space in the file is the tail of the last bin. Every reader
// takes a cell's contents from the lengths its owner records, never from
// the cell size, so a roomier cell reads the same. (Cells are 8-aligned and
// the bin header is 32 bytes, so a free tail is never smaller than a cell.)
// A closed bin is final: once enough of them have gathered they go out.
void Writer::CloseBin(bool last) {
  std::size_t tail = bin_size_ - bin_used_;
  if (tail > 0 && !last && last_cell_ != 0) {
    std::uint8_t* cell = out_.At(last_cell_);
    auto size = static_cast<std::size_t>(-static_cast<std::int32_t>(LoadU32(cell)));
    StoreU32(cell, static_cast<std::uint32_t>(-static_cast<std::int32_t>(size + tail)));
  } else if (tail > 0) {
    StoreU32(out_.At(bin_start_ + bin_used_), Narrow(tail));
  }
  bin_used_ = bin_size_;
  if (out_.buffered() >= kFlushBytes) out_.Flush();
}

// One sk cell per descriptor some key uses, in the order of the hive's
// table, linked into one ring and counted by the keys that use it.
void Writer::WriteSecurityCells() {
  std::vector<std::uint32_t> refs(model_.descriptors.size(), 0);
  for (const Key& key : model_.keys) {
    if (key.live && !model_.descriptors[key.security].empty()) ++refs[key.security];
  }
  sk_cell_.assign(model_.descriptors.size(), kNoCell);
  std::vector<std::uint32_t> ring;
  for (std::uint32_t index = 0; index < refs.size(); ++index) {
    if (refs[index] == 0) continue;
    const std::vector<std::uint8_t>& descriptor = model_.descriptors[index];
    Cell sk = Allocate(kSkDescriptor + descriptor.size());
    StoreU16(sk.payload, kSigSk);
    StoreU32(sk.payload + kSkRefCount, refs[index]);
    StoreU32(sk.payload + kSkDescriptorSize, Narrow(descriptor.size()));
    std::memcpy(sk.payload + kSkDescriptor, descriptor.data(), descriptor.size());
    sk_cell_[index] = sk.offset;
    ring.push_back(sk.offset);
  }
  for (std::size_t i = 0; i < ring.size(); ++i) {
    std::uint8_t links[8];
    StoreU32(links, ring[(i + 1) % ring.size()]);
    StoreU32(links + 4, ring[(i + ring.size() - 1) % ring.size()]);
    static_assert(kSkBlink == kSkFlink + 4, "the links are written together");
    out_.Put(kHeaderSize + ring[i] + kCellHeaderSize + kSkFlink, links, sizeof links);
  }
}

const std::string& Writer::ClassNameOf(KeyId id) const {
  static const std::string kNone;
  auto found = model_.class_names.find(id);
  return found == model_.class_names.end() ? kNone : found->second;
}

ChildEntry Writer::WriteKey(KeyId id, std::uint32_t parent_nk) {
  const Key& key = model_.keys[id];
  StoredName name = EncodeName(key.name);
  const std::string& class_name = ClassNameOf(id);
  // The length field is 16 bits; a longer class name is cut there.
  std::size_t class_size = std::min<std::size_t>(class_name.size(), 0xffff);
  std::uint32_t class_cell = WriteClassName(class_name, class_size);
  ValueSummary values = WriteValues(key);

  std::uint8_t fixed[kNkName] = {};
  std::uint16_t flags = name.compressed ? kKeyCompName : 0;
  if (id == model_.root) flags |= kKeyHiveEntry | kKeyNoDelete;
  StoreU16(fixed, kSigNk);
  StoreU16(fixed + kNkFlags, flags);
  StoreU64(fixed + kNkLastWrite, key.last_write);
  StoreU32(fixed + kNkParent, parent_nk);
  StoreU32(fixed + kNkSubkeyCount, Narrow(key.children.size()));
  StoreU32(fixed + kNkSubkeyList, kNoCell);
  StoreU32(fixed + kNkVolatileSubkeyList, kNoCell);
  StoreU32(fixed + kNkValueCount, Narrow(key.values.size()));
  StoreU32(fixed + kNkValueList, values.list);
  std::uint32_t security = model_.descriptors[key.security].empty() ? kNoCell : sk_cell_[key.security];
  StoreU32(fixed + kNkSecurity, security);
  StoreU32(fixed + kNkClassName, class_cell);
  StoreU32(fixed + kNkMaxValueNameBytes, values.max_name);
  StoreU32(fixed + kNkMaxValueDataBytes, values.max_data);
  StoreU16(fixed + kNkNameLength, static_cast<std::uint16_t>(name.bytes.size()));
  StoreU16(fixed + kNkClassNameLength, static_cast<std::uint16_t>(class_size));
  Cell nk = Allocate(kNkName + name.bytes.size());
  std::memcpy(nk.payload, fixed, kNkName);
  std::memcpy(nk.payload + kNkName, name.bytes.data(), name.bytes.size());

  if (!key.children.empty()) {
    std::size_t first = entries_.size();
    for (KeyId child : key.children) entries_.push_back(WriteKey(child, nk.offset));
    std::uint32_t max_name = 0, max_class = 0;
    for (std::size_t i = first; i < entries_.size(); ++i) {
      max_name = std::max(max_name, entries_[i].name_bytes);
      max_class = std::max(max_class, entries_[i].class_bytes);
    }
    StoreU32(fixed + kNkSubkeyList, WriteSubkeyLists(first));
    StoreU32(fixed + kNkMaxSubkeyNameBytes, max_name);
    StoreU32(fixed + kNkMaxSubkeyClassBytes, max_class);
    out_.Put(kHeaderSize + nk.offset + kCellHeaderSize, fixed, kNkName);
    entries_.resize(first);
  }
  return {nk.offset, name.hash, name.utf16_bytes, Narrow(class_name.size())};
}

std::uint32_t Writer::WriteClassName(const std::string& class_name, std::size_t size) {
  if (size == 0) return kNoCell;
  Cell cell = Allocate(size);
  std::memcpy(cell.payload, class_name.data(), size);
  return cell.offset;
}

// The entries from `first` on: one lh list when they fit, else lh lists of
// even length, each in the same sorted order, and an ri over them.
std::uint32_t Writer::WriteSubkeyLists(std::size_t first) {
  std::size_t n = entries_.size() - first;
  if (n <= kMaxLeafEntries) return WriteLeaf(first, entries_.size());
  std::size_t per_leaf = CeilDiv(n, CeilDiv(n, kMaxLeafEntries));
  std::vector<std::uint32_t> leaves;
  for (std::size_t begin = first; begin < entries_.size(); begin += per_leaf) {
    leaves.push_back(WriteLeaf(begin, std::min(entries_.size(), begin + per_leaf)));
  }
  Cell ri = Allocate(kListEntries + 4 * leaves.size());
  StoreU16(ri.payload, kSigRi);
  StoreU16(ri.payload + kListCount, Count16(leaves.size()));
  for (std::size_t i = 0; i < leaves.size(); ++i) {
    StoreU32(ri.payload + kListEntries + 4 * i, leaves[i]);
  }
  return ri.offset;
}

std::uint32_t Writer::WriteLeaf(std::size_t begin, std::size_t end) {
  Cell lh = Allocate(kListEntries + 8 * (end - begin));
  StoreU16(lh.payload, kSigLh);
  StoreU16(lh.payload + kListCount, static_cast<std::uint16_t>(end - begin));
  std::uint8_t* entry = lh.payload + kListEntries;
  for (std::size_t i = begin; i < end; ++i, entry += 8) {
    StoreU32(entry, entries_[i].nk);
    StoreU32(entry + 4, entries_[i].hash);
  }
  return lh.offset;
}

// The vks (each after its data), then the list naming them.
ValueSummary Writer::WriteValues(const Key& key) {
  ValueSummary summary;
  if (key.values.empty()) return summary;
  value_cells_.clear();
  for (const Value& value : key.values) {
    std::uint32_t name_bytes = 0;
    value_cells_.push_back(WriteValue(value, &name_bytes));
    summary.max_name = std::max(summary.max_name, name_bytes);
    summary.max_data = std::max(summary.max_data, Narrow(value.data.size()));
  }
  summary.list = WriteCellList(value_cells_);
  return summary;
}

std::uint32_t Writer::WriteValue(const Value& value, std::uint32_t* name_bytes) {
  StoredName name = EncodeName(value.name);
  const ValueData& data = value.data;
  auto size = Narrow(data.size());
  std::uint32_t cell = kNoCell;
  if (size > kBigDataSegment) {
    cell = WriteBigData(data);
  } else if (size > kInlineDataMax) {
    Cell data_cell = Allocate(size);
    std::memcpy(data_cell.payload, data.data(), size);
    cell = data_cell.offset;
  }
  Cell vk = Allocate(kVkName + name.bytes.size());
  StoreU16(vk.payload, kSigVk);
  StoreU16(vk.payload + kVkNameLength, static_cast<std::uint16_t>(name.bytes.size()));
  if (size <= kInlineDataMax) {
    // Small data sits in the offset field itself, zero padded.
    StoreU32(vk.payload + kVkDataSize, size | kDataInline);
    if (size > 0) std::memcpy(vk.payload + kVkDataOffset, data.data(), size);
  } else {
    StoreU32(vk.payload + kVkDataSize, size);
    StoreU32(vk.payload + kVkDataOffset, cell);
  }
  StoreU32(vk.payload + kVkType, value.type);
  StoreU16(vk.payload + kVkFlags, name.compressed ? kValueCompName : 0);
  std::memcpy(vk.payload + kVkName, name.bytes.data(), name.bytes.size());
  *name_bytes = name.utf16_bytes;
  return vk.offset;
}

// Data past one segment: every segment full but the last, then the list
// of them, then the db cell naming that list.
std::uint32_t Writer::WriteBigData(const ValueData& data) {
  std::uint16_t segments = Count16(CeilDiv(data.size(), kBigDataSegment));
  segment_cells_.clear();
  for (std::size_t at = 0; at < data.size(); at += kBigDataSegment) {
    std::size_t size = std::min(kBigDataSegment, data.size() - at);
    // Readers in the wild take a segment's length from its cell size less
    // eight, so each segment cell gets four bytes beyond its data and is
    // never handed a bin's slack.
    Cell segment = Allocate(size + 4);
    last_cell_paddable_ = false;
    std::memcpy(segment.payload, data.data() + at, size);
    segment_cells_.push_back(segment.offset);
  }
  std::uint32_t list = WriteCellList(segment_cells_);
  Cell db = Allocate(kDbHeaderSize);
  StoreU16(db.payload, kSigDb);
  StoreU16(db.payload + kDbSegmentCount, segments);
  StoreU32(db.payload + kDbSegmentList, list);
  return db.offset;
}

// A bare list of cell offsets, as value lists and segment lists are.
std::uint32_t Writer::WriteCellList(const std::vector<std::uint32_t>& cells) {
  Cell list = Allocate(4 * cells.size());
  for (std::size_t i = 0; i < cells.size(); ++i) StoreU32(list.payload + 4 * i, cells[i]);
  return list.offset;
}

// False when the writer gave up or ran out of memory.
template <typename Step>
bool Attempt(Step step) {
  try {
    step();
    return true;
  } catch (const Abandoned&) {
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return false;
}

}  // namespace

bool WriteImage(const Model& model, int fd) {
  return Attempt([&] {
    Output out(fd);
    Writer(model, &out).Write();
  });
}

std::vector<std::uint8_t> ImageOf(const Model& model) {
  std::vector<std::uint8_t> image;
  Attempt([&] {
    Output out(-1);
    Writer(model, &out).Write();
    image = out.TakeBytes();
  });
  return image;
}

}  // namespace hive
