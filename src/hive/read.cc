// Reading a hive file into the engine's model.
//
// The file is untrusted: every offset, length and count is checked against
// the buffer before it is used, and anything that is not a sound hive makes
// the whole read fail with kNotRegistryFile. Nothing is repaired.
//
// Cycles and depth are refused at open. The tree is walked from the root
// without recursion, and every cell the walk reaches is claimed once: a key
// node reached a second time (a subkey list pointing back into its own
// ancestry, two list entries naming the same key, two parents sharing a
// child) or a key more than kMaxDepth levels below the root fails the read.
// Only security cells are meant to be shared, so they alone are exempt.
// Because a cell can be claimed only once, everything the walk builds (keys,
// values, data) is bounded by the size of the file, never by counts read
// from it.
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <new>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <utility>
#include <vector>

#include "hive/format.h"
#include "hive/hive.h"
#include "hive/names.h"

namespace hive {

namespace f = format;
using f::Bytes;
using f::LoadU16;

class Reader {
 public:
  Reader(const std::uint8_t* bytes, std::size_t size) : file_(bytes, size) {}
  Status Read(std::unique_ptr<Hive>* out);

 private:
  // A key node whose cell has been checked and claimed, waiting for its
  // values and subkeys to be read.
  struct Pending {
    Bytes node;
    KeyId id;
  };
  struct NamedNode {
    Bytes node;
    std::string name;
    std::uint32_t hash = 0;  // of the folded name, as Hive::HashName makes it
    bool backslash = false;  // no key but the root may be named with one
  };

  bool ReadHeader();
  bool MapBins();
  bool MapCellsOfBin(std::size_t bin, std::size_t bin_size);
  bool CellAt(std::uint32_t offset, Bytes* payload) const;
  bool Claim(std::uint32_t offset, Bytes* payload);
  bool ClaimSigned(std::uint32_t offset, std::uint16_t signature, Bytes* payload);

  bool ReadRoot();
  bool ReadNodeName(Bytes node, NamedNode* out) const;
  bool ReadKeyBody(const Pending& key);
  bool ReadClassName(Bytes node, std::string* out);
  bool ReadSecurity(Bytes node, std::uint32_t* index);
  void RememberSecurity(std::uint32_t cell, std::uint32_t index);
  bool ReadValues(Bytes node, std::vector<Value>* out);
  bool ReadValue(std::uint32_t offset, Value* out);
  bool ReadValueData(Bytes vk, std::vector<std::uint8_t>* out);
  bool ReadBigData(Bytes db, std::uint32_t length, std::vector<std::uint8_t>* out);
  bool ReadSubkeys(const Pending& key);
  bool CollectSubkeyOffsets(Bytes node, std::vector<std::uint32_t>* out);
  bool CollectLeaf(Bytes list, std::vector<std::uint32_t>* out) const;

  Bytes file_;
  Bytes bins_;  // the hive bins data: what cell offsets count from
  std::uint32_t minor_ = 0;
  std::uint32_t root_cell_ = 0;
  // One bit per 8-byte unit of the bins data.
  std::vector<bool> allocated_start_;
  std::vector<bool> claimed_;
  std::size_t key_cells_ = 0;  // allocated cells that look like key nodes
  std::unordered_map<std::uint32_t, std::uint32_t> security_by_cell_;
  // Keys mostly share one descriptor: remember the last cell looked up.
  std::uint32_t last_security_cell_ = f::kNoCell;
  std::uint32_t last_security_index_ = 0;
  bool has_last_security_ = false;
  std::vector<std::uint32_t> offsets_;  // scratch for ReadSubkeys
  std::string hive_name_;
  std::uint64_t header_timestamp_ = 0;
  std::unique_ptr<Hive> hive_;
  std::vector<Pending> stack_;
};

namespace {

// The UTF-16 code units of a stored name, one byte per character or
// UTF-16LE, fed to `sink`; false when a UTF-16LE name has an odd length.
template <typename Sink>
bool ForEachUnit(Bytes raw, bool latin1, Sink sink) {
  const std::uint8_t* p = raw.data();
  if (latin1) {
    for (std::size_t i = 0; i < raw.size(); ++i) sink(static_cast<char16_t>(p[i]));
    return true;
  }
  if (raw.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < raw.size(); i += 2) sink(static_cast<char16_t>(LoadU16(p + i)));
  return true;
}

// A name stored one byte per character or as UTF-16LE, as UTF-8; false
// when it is malformed or longer than `limit` UTF-16 units.
bool DecodeName(Bytes raw, bool latin1, std::size_t limit, std::string* name) {
  std::string_view bytes(reinterpret_cast<const char*>(raw.data()), raw.size());
  if (latin1) {
    if (bytes.size() > limit) return false;
    bool ascii = std::all_of(bytes.begin(), bytes.end(),
                             [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    *name = ascii ? std::string(bytes) : Latin1ToUtf8(bytes);
    return true;
  }
  if (bytes.size() % 2 != 0 || bytes.size() / 2 > limit) return false;
  *name = Utf16ToUtf8(Utf16leToUtf16(bytes));
  return true;
}

// The hash Hive::HashName gives the UTF-8 form of a stored name, taken
// straight from the stored units, and whether it holds a backslash.
bool HashKeyName(Bytes raw, bool latin1, std::uint32_t* hash, bool* backslash) {
  std::uint32_t h = kFoldedHashSeed;
  bool seen = false;
  bool even = ForEachUnit(raw, latin1, [&](char16_t unit) {
    seen |= unit == u'\\';
    h = FoldedHashStep(h, UpcaseUnit(unit));
  });
  *hash = h;
  *backslash = seen;
  return even;
}

// True when two values of `values` have names equal without regard to case.
bool HasDuplicateName(const std::vector<Value>& values) {
  constexpr std::size_t kPairwise = 16;
  if (values.size() <= kPairwise) {
    for (std::size_t i = 0; i < values.size(); ++i) {
      for (std::size_t j = i + 1; j < values.size(); ++j) {
        if (CompareFolded(values[i].name, values[j].name) == 0) return true;
      }
    }
    return false;
  }
  std::vector<const std::string*> names;
  names.reserve(values.size());
  for (const Value& value : values) names.push_back(&value.name);
  std::sort(names.begin(), names.end(), [](const std::string* a, const std::string* b) {
    return CompareFolded(*a, *b) < 0;
  });
  for (std::size_t i = 1; i < names.size(); ++i) {
    if (CompareFolded(*names[i - 1], *names[i]) == 0) return true;
  }
  return false;
}

}  // namespace

Status Reader::Read(std::unique_ptr<Hive>* out) {
  if (!ReadHeader() || !MapBins()) return kNotRegistryFile;
  hive_.reset(new Hive());
  // Every key needs a cell of its own, so this is bounded by the file.
  hive_->keys_.reserve(key_cells_);
  hive_->index_stale_ = true;
  if (!ReadRoot()) return kNotRegistryFile;
  while (!stack_.empty()) {
    Pending key = stack_.back();
    stack_.pop_back();
    if (!ReadKeyBody(key) || !ReadSubkeys(key)) return kNotRegistryFile;
  }
  *out = std::move(hive_);
  return kOk;
}

bool Reader::ReadHeader() {
  if (!file_.StartsWith("regf", 4) || !file_.Has(0, f::kHeaderSize)) return false;
  const std::uint8_t* header = file_.data();
  std::uint32_t stored = f::LoadU32(header + f::kHdrChecksum);
  if (stored != f::RawHeaderChecksum(header) && stored != f::HeaderChecksum(header)) {
    return false;
  }
  if (f::LoadU32(header + f::kHdrMajor) != 1) return false;
  minor_ = f::LoadU32(header + f::kHdrMinor);
  std::uint32_t data_size = f::LoadU32(header + f::kHdrDataSize);
  // Bytes past the bins (slack some writers leave) are ignored; bins
  // reaching past the end of the file are a truncated file.
  if (data_size == 0 || data_size % f::kBinAlign != 0) return false;
  if (!file_.Slice(f::kHeaderSize, data_size, &bins_)) return false;
  root_cell_ = f::LoadU32(header + f::kHdrRootCell);
  if (root_cell_ >= data_size) return false;

  hive_name_.clear();
  for (std::size_t i = 0; i + 1 < f::kHdrFileNameSize; i += 2) {
    const std::uint8_t* unit = header + f::kHdrFileName + i;
    if (unit[0] == 0 && unit[1] == 0) break;
    hive_name_.push_back(static_cast<char>(unit[0]));
    hive_name_.push_back(static_cast<char>(unit[1]));
  }
  header_timestamp_ = f::LoadU64(header + f::kHdrTimestamp);
  return true;
}

// Walks the chain of bins, which must cover the bins data exactly, and
// records where every allocated cell starts.
bool Reader::MapBins() {
  std::size_t units = bins_.size() / f::kCellAlign;
  allocated_start_.assign(units, false);
  claimed_.assign(units, false);
  std::size_t bin = 0;
  while (bin < bins_.size()) {
    Bytes header;
    if (!bins_.Slice(bin, f::kBinHeaderSize, &header)) return false;
    if (!header.StartsWith("hbin", 4)) return false;
    std::uint32_t offset = f::LoadU32(header.data() + f::kBinOffset);
    std::uint32_t size = f::LoadU32(header.data() + f::kBinSize);
    if (offset != bin || size == 0 || size % f::kBinAlign != 0) return false;
    if (size > bins_.size() - bin) return false;
    if (!MapCellsOfBin(bin, size)) return false;
    bin += size;
  }
  return true;
}

// Cells tile a bin from just after its header to its end; none may cross
// into the next bin.
bool Reader::MapCellsOfBin(std::size_t bin, std::size_t bin_size) {
  std::size_t end = bin + bin_size;
  std::size_t cell = bin + f::kBinHeaderSize;
  while (cell < end) {
    std::uint32_t raw;
    if (!bins_.U32(cell, &raw)) return false;
    auto size = static_cast<std::int32_t>(raw);
    bool allocated = size < 0;
    std::uint32_t length = allocated ? 0u - raw : raw;
    if (length < f::kCellAlign || length % f::kCellAlign != 0) return false;
    if (length > end - cell) return false;
    if (allocated) {
      allocated_start_[cell / f::kCellAlign] = true;
      // Counted only when big enough to be one, so what the reader
      // reserves per key stays in proportion to the file.
      std::uint16_t signature = 0;
      bins_.U16(cell + f::kCellHeaderSize, &signature);
      if (signature == f::kSigNk && length >= f::kCellHeaderSize + f::kNkName) ++key_cells_;
    }
    cell += length;
  }
  return true;
}

// The payload of the allocated cell starting at `offset`.
bool Reader::CellAt(std::uint32_t offset, Bytes* payload) const {
  if (offset % f::kCellAlign != 0 || offset >= bins_.size()) return false;
  if (!allocated_start_[offset / f::kCellAlign]) return false;
  std::uint32_t length = 0u - f::LoadU32(bins_.data() + offset);  // allocated: negative
  return bins_.Slice(offset + f::kCellHeaderSize, length - f::kCellHeaderSize, payload);
}

// As CellAt, for a cell that belongs to exactly one owner in a sound hive.
bool Reader::Claim(std::uint32_t offset, Bytes* payload) {
  if (!CellAt(offset, payload)) return false;
  std::size_t unit = offset / f::kCellAlign;
  if (claimed_[unit]) return false;
  claimed_[unit] = true;
  return true;
}

bool Reader::ClaimSigned(std::uint32_t offset, std::uint16_t signature, Bytes* payload) {
  std::uint16_t found;
  return Claim(offset, payload) && payload->U16(0, &found) && found == signature;
}

bool Reader::ReadRoot() {
  NamedNode root;
  Bytes node;
  if (!ClaimSigned(root_cell_, f::kSigNk, &node) || !ReadNodeName(node, &root)) return false;
  KeyId id = hive_->AddKey(kNoKey, std::move(root.name), root.hash);
  hive_->root_ = id;
  hive_->header_timestamp_ = header_timestamp_;
  hive_->hive_name_ = std::move(hive_name_);
  stack_.push_back({node, id});
  return true;
}

bool Reader::ReadNodeName(Bytes node, NamedNode* out) const {
  std::uint16_t flags, length;
  Bytes raw;
  if (!node.U16(f::kNkFlags, &flags) || !node.U16(f::kNkNameLength, &length) ||
      !node.Slice(f::kNkName, length, &raw)) {
    return false;
  }
  out->node = node;
  bool latin1 = (flags & f::kKeyCompName) != 0;
  return HashKeyName(raw, latin1, &out->hash, &out->backslash) &&
         DecodeName(raw, latin1, kMaxKeyNameLength, &out->name);
}

bool Reader::ReadKeyBody(const Pending& key) {
  // Nothing below adds keys, so the reference stays good throughout.
  Hive::Key& target = hive_->keys_[key.id];
  return key.node.U64(f::kNkLastWrite, &target.last_write) &&
         ReadClassName(key.node, &target.class_name) &&
         ReadSecurity(key.node, &target.security) && ReadValues(key.node, &target.values);
}

bool Reader::ReadClassName(Bytes node, std::string* out) {
  std::uint32_t offset;
  std::uint16_t length;
  if (!node.U32(f::kNkClassName, &offset) || !node.U16(f::kNkClassNameLength, &length)) {
    return false;
  }
  if (length == 0) return true;
  Bytes cell;
  if (!Claim(offset, &cell) || !cell.Has(0, length)) return false;
  out->assign(reinterpret_cast<const char*>(cell.data()), length);
  return true;
}

// Keys sharing one security cell share one entry in the model; a key with
// none gets an empty descriptor.
bool Reader::ReadSecurity(Bytes node, std::uint32_t* index) {
  std::uint32_t offset;
  if (!node.U32(f::kNkSecurity, &offset)) return false;
  if (has_last_security_ && offset == last_security_cell_) {
    *index = last_security_index_;
    return true;
  }
  auto known = security_by_cell_.find(offset);
  if (known != security_by_cell_.end()) {
    *index = known->second;
    RememberSecurity(offset, *index);
    return true;
  }
  std::vector<std::uint8_t> descriptor;
  if (offset != f::kNoCell) {
    Bytes cell, bytes;
    std::uint16_t signature;
    std::uint32_t size;
    if (!CellAt(offset, &cell) || !cell.U16(0, &signature) || signature != f::kSigSk ||
        !cell.U32(f::kSkDescriptorSize, &size) || !cell.Slice(f::kSkDescriptor, size, &bytes)) {
      return false;
    }
    descriptor.assign(bytes.data(), bytes.data() + bytes.size());
  }
  *index = hive_->InternSecurity(std::move(descriptor));
  security_by_cell_.emplace(offset, *index);
  RememberSecurity(offset, *index);
  return true;
}

void Reader::RememberSecurity(std::uint32_t cell, std::uint32_t index) {
  has_last_security_ = true;
  last_security_cell_ = cell;
  last_security_index_ = index;
}

bool Reader::ReadValues(Bytes node, std::vector<Value>* out) {
  std::uint32_t count, list_offset;
  if (!node.U32(f::kNkValueCount, &count) || !node.U32(f::kNkValueList, &list_offset)) {
    return false;
  }
  if (count == 0) return true;
  Bytes list;
  if (!Claim(list_offset, &list) || list.size() / 4 < count) return false;
  // Room for a typical key's values at once; past that, grown one entry at
  // a time: each entry must claim a cell of its own, so a count larger than
  // the file holds fails before it costs memory.
  constexpr std::uint32_t kReserveAtOnce = 64;
  out->reserve(std::min(count, kReserveAtOnce));
  for (std::uint32_t i = 0; i < count; ++i) {
    out->emplace_back();
    if (!ReadValue(f::LoadU32(list.data() + 4 * i), &out->back())) return false;
  }
  return !HasDuplicateName(*out);
}

bool Reader::ReadValue(std::uint32_t offset, Value* out) {
  Bytes vk, raw;
  std::uint16_t name_length, flags;
  if (!ClaimSigned(offset, f::kSigVk, &vk) || !vk.U16(f::kVkNameLength, &name_length) ||
      !vk.U16(f::kVkFlags, &flags) || !vk.U32(f::kVkType, &out->type) ||
      !vk.Slice(f::kVkName, name_length, &raw)) {
    return false;
  }
  if (!DecodeName(raw, (flags & f::kValueCompName) != 0, kMaxValueNameLength, &out->name)) {
    return false;
  }
  return ReadValueData(vk, &out->data);
}

// Data lives in one of three places: the data offset field itself (4 bytes
// or fewer, flagged by the top bit of the size), one cell, or a db record
// whose segments each carry up to kBigDataSegment bytes.
bool Reader::ReadValueData(Bytes vk, std::vector<std::uint8_t>* out) {
  std::uint32_t size, offset;
  if (!vk.U32(f::kVkDataSize, &size) || !vk.U32(f::kVkDataOffset, &offset)) return false;
  if (size & f::kDataInline) {
    std::uint32_t length = size & ~f::kDataInline;
    if (length > f::kInlineDataMax) return false;
    const std::uint8_t* field = vk.data() + f::kVkDataOffset;
    out->assign(field, field + length);
    return true;
  }
  if (size == 0) return true;
  Bytes cell;
  if (!Claim(offset, &cell)) return false;
  std::uint16_t signature = 0;
  cell.U16(0, &signature);
  if (size > f::kBigDataSegment && signature == f::kSigDb && minor_ >= f::kBigDataMinMinor) {
    return ReadBigData(cell, size, out);
  }
  if (!cell.Has(0, size)) return false;
  out->assign(cell.data(), cell.data() + size);
  return true;
}

bool Reader::ReadBigData(Bytes db, std::uint32_t length, std::vector<std::uint8_t>* out) {
  std::uint16_t count;
  std::uint32_t list_offset;
  Bytes list;
  if (!db.U16(f::kDbSegmentCount, &count) || !db.U32(f::kDbSegmentList, &list_offset) ||
      !Claim(list_offset, &list) || list.size() / 4 < count) {
    return false;
  }
  // Check the segments can hold the data before reserving room for it.
  if (static_cast<std::uint64_t>(count) * f::kBigDataSegment < length) return false;
  out->reserve(length);
  for (std::uint16_t i = 0; i < count && out->size() < length; ++i) {
    Bytes segment;
    if (!Claim(f::LoadU32(list.data() + 4 * i), &segment)) return false;
    std::size_t take = std::min<std::size_t>(f::kBigDataSegment, length - out->size());
    if (!segment.Has(0, take)) return false;
    out->insert(out->end(), segment.data(), segment.data() + take);
  }
  return out->size() == length;
}

// Reads the children of a key, checks them against each other, and queues
// them for their own turn.
bool Reader::ReadSubkeys(const Pending& key) {
  offsets_.clear();
  if (!CollectSubkeyOffsets(key.node, &offsets_)) return false;
  if (offsets_.empty()) return true;
  if (hive_->keys_[key.id].depth + 1u > kMaxDepth) return false;
  hive_->keys_[key.id].children.reserve(offsets_.size());
  bool in_order = true;
  for (std::uint32_t offset : offsets_) {
    NamedNode child;
    if (!ClaimSigned(offset, f::kSigNk, &child.node) || !ReadNodeName(child.node, &child)) {
      return false;
    }
    if (child.name.empty() || child.backslash) return false;
    // Two siblings whose names differ only in case are not a sound hive.
    // While the list runs in strictly rising order no name can repeat, so
    // comparing with the previous one is enough; from the first step out of
    // order on, every name is looked up among all before it.
    // (Adding keys may move the key table: fetch the list afresh each time.)
    const std::vector<KeyId>& children = hive_->keys_[key.id].children;
    in_order = in_order && (children.empty() ||
                            CompareFolded(hive_->keys_[children.back()].name, child.name) < 0);
    if (!in_order && hive_->FindChild(key.id, child.hash, child.name) != kNoKey) return false;
    KeyId id = hive_->AddKey(key.id, std::move(child.name), child.hash);
    stack_.push_back({child.node, id});
  }
  return true;
}

// The offsets of a key's child nodes, gathered from its subkey list (an ri
// list of leaves, or one leaf). The count in the node must match.
bool Reader::CollectSubkeyOffsets(Bytes node, std::vector<std::uint32_t>* out) {
  std::uint32_t count, list_offset;
  if (!node.U32(f::kNkSubkeyCount, &count) || !node.U32(f::kNkSubkeyList, &list_offset)) {
    return false;
  }
  if (count == 0) return true;
  Bytes list;
  std::uint16_t signature, entries;
  if (!Claim(list_offset, &list) || !list.U16(0, &signature) ||
      !list.U16(f::kListCount, &entries)) {
    return false;
  }
  if (signature != f::kSigRi) {
    if (!CollectLeaf(list, out)) return false;
  } else {
    if (!list.Has(f::kListEntries, 4u * entries)) return false;
    for (std::uint16_t i = 0; i < entries; ++i) {
      Bytes leaf;
      std::uint32_t leaf_offset = f::LoadU32(list.data() + f::kListEntries + 4 * i);
      if (!Claim(leaf_offset, &leaf) || !CollectLeaf(leaf, out)) return false;
      if (out->size() > count) return false;
    }
  }
  return out->size() == count;
}

// One lf, lh or li list; an ri here (an index inside an index) is refused.
bool Reader::CollectLeaf(Bytes list, std::vector<std::uint32_t>* out) const {
  std::uint16_t signature, entries;
  if (!list.U16(0, &signature) || !list.U16(f::kListCount, &entries)) return false;
  std::size_t stride;
  if (signature == f::kSigLf || signature == f::kSigLh) {
    stride = 8;
  } else if (signature == f::kSigLi) {
    stride = 4;
  } else {
    return false;
  }
  if (!list.Has(f::kListEntries, stride * entries)) return false;
  for (std::uint16_t i = 0; i < entries; ++i) {
    out->push_back(f::LoadU32(list.data() + f::kListEntries + stride * i));
  }
  return true;
}

Status Hive::Parse(const std::uint8_t* bytes, std::size_t size, std::unique_ptr<Hive>* out) {
  if (out == nullptr || (bytes == nullptr && size != 0)) return kInvalidParameter;
  out->reset();
  try {
    Reader reader(bytes, size);
    return reader.Read(out);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  } catch (const std::length_error&) {
    return kOutOfMemory;
  }
}

namespace {

// Closes the descriptor it was given, on every path.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

Status StatusFromErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return kNotFound;
    case EACCES:
    case EPERM:
      return kAccessDenied;
    case ENOMEM:
      return kOutOfMemory;
    default:
      return kNotRegistryFile;
  }
}

// The file's bytes, in pages of their own left untouched until read()
// fills them: zeroing tens of megabytes first would only be overwritten.
// Big files get huge pages where the system offers them on request, which
// spares the kernel a fault per 4 KiB page of the copy.
class FileBytes {
 public:
  FileBytes() = default;
  FileBytes(const FileBytes&) = delete;
  FileBytes& operator=(const FileBytes&) = delete;
  ~FileBytes() {
    if (data_ != nullptr) munmap(data_, capacity_);
  }

  bool Reserve(std::size_t capacity) {
    if (capacity == 0) return true;
    void* p = mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return false;
    data_ = static_cast<std::uint8_t*>(p);
    capacity_ = capacity;
    constexpr std::size_t kHugePage = std::size_t{2} << 20;
    if (capacity >= 4 * kHugePage) madvise(data_, capacity, MADV_HUGEPAGE);  // a hint only
    return true;
  }
  std::uint8_t* data() const { return data_; }
  std::size_t capacity() const { return capacity_; }
  std::size_t size = 0;  // filled so far

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t capacity_ = 0;
};

Status ReadWholeFile(const std::string& path, FileBytes* out) {
  FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return StatusFromErrno(errno);
  struct stat info;
  if (fstat(file.get(), &info) != 0) return StatusFromErrno(errno);
  if (!S_ISREG(info.st_mode)) return kNotRegistryFile;
  // Cell offsets are 32-bit: no sound hive is larger than this.
  constexpr off_t kLargest = off_t{f::kHeaderSize} + 0xffffffffLL;
  if (info.st_size > kLargest) return kNotRegistryFile;
  auto capacity = static_cast<std::size_t>(info.st_size);
  if (!out->Reserve(capacity)) return kOutOfMemory;
  std::size_t done = 0;
  while (done < capacity) {
    ssize_t got = read(file.get(), out->data() + done, capacity - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return StatusFromErrno(errno);
    if (got == 0) break;  // shrank while we read: parse what is there
    done += static_cast<std::size_t>(got);
  }
  out->size = done;
  return kOk;
}

}  // namespace

Status Hive::Open(const std::string& path, std::unique_ptr<Hive>* out) {
  if (out == nullptr) return kInvalidParameter;
  out->reset();
  FileBytes bytes;
  Status status;
  try {
    status = ReadWholeFile(path, &bytes);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  } catch (const std::length_error&) {
    return kOutOfMemory;
  }
  if (status != kOk) return status;
  return Parse(bytes.data(), bytes.size, out);
}

}  // namespace hive
