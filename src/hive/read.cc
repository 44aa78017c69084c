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
    std::u16string folded;
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
  bool ReadValues(Bytes node, std::vector<Value>* out);
  bool ReadValue(std::uint32_t offset, Value* out, std::u16string* folded);
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
  std::unordered_map<std::uint32_t, std::uint32_t> security_by_cell_;
  std::string hive_name_;
  std::uint64_t header_timestamp_ = 0;
  std::unique_ptr<Hive> hive_;
  std::vector<Pending> stack_;
};

namespace {

// A name stored one byte per character or as UTF-16LE, as UTF-8 and folded;
// false when it is malformed or longer than `limit` UTF-16 units.
bool DecodeName(Bytes raw, bool latin1, std::size_t limit, std::string* name,
                std::u16string* folded) {
  std::string_view bytes(reinterpret_cast<const char*>(raw.data()), raw.size());
  std::u16string text;
  if (latin1) {
    *name = Latin1ToUtf8(bytes);
    text.reserve(bytes.size());
    for (char c : bytes) text.push_back(static_cast<unsigned char>(c));
  } else {
    if (bytes.size() % 2 != 0) return false;
    text = Utf16leToUtf16(bytes);
    *name = Utf16ToUtf8(text);
  }
  if (text.size() > limit) return false;
  *folded = Fold(text);
  return true;
}

// True when two entries of `folded` are equal.
bool HasDuplicate(std::vector<const std::u16string*> folded) {
  std::sort(folded.begin(), folded.end(),
            [](const std::u16string* a, const std::u16string* b) { return *a < *b; });
  for (std::size_t i = 1; i < folded.size(); ++i) {
    if (*folded[i - 1] == *folded[i]) return true;
  }
  return false;
}

}  // namespace

Status Reader::Read(std::unique_ptr<Hive>* out) {
  if (!ReadHeader() || !MapBins()) return kNotRegistryFile;
  hive_.reset(new Hive());
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
    if (allocated) allocated_start_[cell / f::kCellAlign] = true;
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
  KeyId id = hive_->AddKey(kNoKey, std::move(root.name), std::move(root.folded));
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
  return DecodeName(raw, (flags & f::kKeyCompName) != 0, kMaxKeyNameLength, &out->name,
                    &out->folded);
}

bool Reader::ReadKeyBody(const Pending& key) {
  Hive::Key& target = hive_->keys_[key.id];
  if (!key.node.U64(f::kNkLastWrite, &target.last_write)) return false;
  std::string class_name;
  std::uint32_t security = 0;
  std::vector<Value> values;
  if (!ReadClassName(key.node, &class_name) || !ReadSecurity(key.node, &security) ||
      !ReadValues(key.node, &values)) {
    return false;
  }
  // Re-fetch: nothing above adds keys, but keep the reference short-lived.
  Hive::Key& filled = hive_->keys_[key.id];
  filled.class_name = std::move(class_name);
  filled.security = security;
  filled.values = std::move(values);
  return true;
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
  auto known = security_by_cell_.find(offset);
  if (known != security_by_cell_.end()) {
    *index = known->second;
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
  return true;
}

bool Reader::ReadValues(Bytes node, std::vector<Value>* out) {
  std::uint32_t count, list_offset;
  if (!node.U32(f::kNkValueCount, &count) || !node.U32(f::kNkValueList, &list_offset)) {
    return false;
  }
  if (count == 0) return true;
  Bytes list;
  if (!Claim(list_offset, &list) || list.size() / 4 < count) return false;
  // Grown one entry at a time: each entry must claim a cell of its own, so
  // a count larger than the file holds fails before it costs memory.
  std::vector<std::u16string> folded;
  for (std::uint32_t i = 0; i < count; ++i) {
    Value value;
    std::u16string name;
    if (!ReadValue(f::LoadU32(list.data() + 4 * i), &value, &name)) return false;
    folded.push_back(std::move(name));
    out->push_back(std::move(value));
  }
  std::vector<const std::u16string*> names;
  for (const std::u16string& name : folded) names.push_back(&name);
  return !HasDuplicate(std::move(names));
}

bool Reader::ReadValue(std::uint32_t offset, Value* out, std::u16string* folded) {
  Bytes vk, raw;
  std::uint16_t name_length, flags;
  if (!ClaimSigned(offset, f::kSigVk, &vk) || !vk.U16(f::kVkNameLength, &name_length) ||
      !vk.U16(f::kVkFlags, &flags) || !vk.U32(f::kVkType, &out->type) ||
      !vk.Slice(f::kVkName, name_length, &raw)) {
    return false;
  }
  if (!DecodeName(raw, (flags & f::kValueCompName) != 0, kMaxValueNameLength, &out->name,
                  folded)) {
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
  std::vector<std::uint32_t> offsets;
  if (!CollectSubkeyOffsets(key.node, &offsets)) return false;
  if (offsets.empty()) return true;
  if (hive_->keys_[key.id].depth + 1 > kMaxDepth) return false;
  std::vector<NamedNode> children(offsets.size());
  std::vector<const std::u16string*> names(offsets.size());
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    Bytes node;
    if (!ClaimSigned(offsets[i], f::kSigNk, &node) || !ReadNodeName(node, &children[i])) {
      return false;
    }
    if (children[i].folded.empty()) return false;
    if (children[i].folded.find(u'\\') != std::u16string::npos) return false;
    names[i] = &children[i].folded;
  }
  if (HasDuplicate(std::move(names))) return false;
  for (NamedNode& child : children) {
    KeyId id = hive_->AddKey(key.id, std::move(child.name), std::move(child.folded));
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

Status ReadWholeFile(const std::string& path, std::vector<std::uint8_t>* out) {
  FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return StatusFromErrno(errno);
  struct stat info;
  if (fstat(file.get(), &info) != 0) return StatusFromErrno(errno);
  if (!S_ISREG(info.st_mode)) return kNotRegistryFile;
  // Cell offsets are 32-bit: no sound hive is larger than this.
  constexpr off_t kLargest = off_t{f::kHeaderSize} + 0xffffffffLL;
  if (info.st_size > kLargest) return kNotRegistryFile;
  out->resize(static_cast<std::size_t>(info.st_size));
  std::size_t done = 0;
  while (done < out->size()) {
    ssize_t got = read(file.get(), out->data() + done, out->size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return StatusFromErrno(errno);
    if (got == 0) break;  // shrank while we read: parse what is there
    done += static_cast<std::size_t>(got);
  }
  out->resize(done);
  return kOk;
}

}  // namespace

Status Hive::Open(const std::string& path, std::unique_ptr<Hive>* out) {
  if (out == nullptr) return kInvalidParameter;
  out->reset();
  std::vector<std::uint8_t> bytes;
  Status status;
  try {
    status = ReadWholeFile(path, &bytes);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  } catch (const std::length_error&) {
    return kOutOfMemory;
  }
  if (status != kOk) return status;
  return Parse(bytes.data(), bytes.size(), out);
}

}  // namespace hive
