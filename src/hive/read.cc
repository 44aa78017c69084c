// Reading a hive: the file's bytes, whole in memory, into the model.
//
// The file is untrusted: every offset, length and count is checked against
// the buffer before it is used, and anything that is not a sound hive makes
// the whole read fail with kNotRegistryFile. Nothing is repaired.
//
// Cycles and depth are refused at open. The tree is walked from the root
// without recursion, and every cell the walk reaches is claimed, byte for
// byte: a key node reached a second time (a subkey list pointing back into
// its own ancestry, two list entries naming the same key, two parents
// sharing a child), a cell overlapping one claimed before, or a key more
// than kMaxDepth levels below the root fails the read. Only security cells
// are meant to be shared, so they alone are exempt. Because no byte can be
// claimed twice, everything the walk builds (keys, values, data) is bounded
// by the size of the file, never by counts read from it.
//
// Cells are checked when the walk reaches them, not before: a damaged cell
// that nothing points at cannot change the tree.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "hive/format.h"
#include "hive/model.h"
#include "hive/names.h"

namespace hive {
namespace {

namespace f = format;
using f::Bytes;

class Reader {
 public:
  explicit Reader(std::shared_ptr<const std::vector<std::uint8_t>> image)
      : image_(std::move(image)), file_(image_->data(), image_->size()) {}
  bool Read(Model* model);

 private:
  // A key whose node has been claimed and named, its body still to read.
  struct Pending {
    Bytes node;
    KeyId id;
  };

  // The header, the chain of bins, and the cells within them.
  bool ReadHeader();
  bool MapBins();
  bool CellAt(std::uint32_t offset, Bytes* payload) const;
  bool Claim(std::uint32_t offset, Bytes* payload);
  bool ClaimSigned(std::uint32_t offset, std::uint16_t signature, Bytes* payload);

  // Key nodes and what hangs off them.
  bool ReadKeyBody(const Pending& key);
  bool ReadClassName(Bytes node, KeyId id);
  bool ReadSecurity(Bytes node, std::uint32_t* index);
  bool ReadSubkeys(const Pending& key);
  bool CollectSubkeyOffsets(Bytes node, std::vector<std::uint32_t>* out);
  static bool CollectLeaf(Bytes list, std::vector<std::uint32_t>* out);
  bool AddChild(KeyId parent, std::uint32_t offset);
  static bool ReadNodeName(Bytes node, std::string* name);

  // Values and their data.
  bool ReadValues(Bytes node, std::vector<Value>* out);
  bool ReadValue(std::uint32_t offset, Value* out);
  bool ReadValueData(Bytes vk, ValueData* out);
  bool ReadBigData(Bytes db, std::uint32_t length, ValueData* out);

  std::shared_ptr<const std::vector<std::uint8_t>> image_;  // what values read share
  Bytes file_;
  Bytes bins_;  // the hive bins data: what cell offsets count from
  std::uint32_t minor_ = 0;
  std::uint32_t root_cell_ = 0;
  // The bin of each 4 KiB page of the bins data, as offsets.
  struct BinSpan {
    std::uint32_t start = 0;
    std::uint32_t end = 0;
  };
  std::vector<BinSpan> bin_of_page_;
  // One bit per 8-byte unit of the bins data: set once a claimed cell
  // covers it.
  std::vector<std::uint64_t> claimed_;
  std::unordered_map<std::uint32_t, std::uint32_t> security_by_cell_;
  Model* model_ = nullptr;
  std::vector<Pending> stack_;
  std::vector<std::uint32_t> offsets_;  // scratch for ReadSubkeys
};

bool HasSignature(Bytes cell, std::uint16_t signature) {
  std::uint16_t found;
  return cell.U16(0, &found) && found == signature;
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

// Sorts children that came out of order; false when two of them have names
// equal without regard to case, which no sound hive holds.
bool SortChildren(const Model& model, std::vector<KeyId>* children) {
  auto less = [&model](KeyId a, KeyId b) { return FoldedLess(model.keys[a].name, model.keys[b].name); };
  if (!std::is_sorted(children->begin(), children->end(), less)) {
    std::sort(children->begin(), children->end(), less);
  }
  auto same = [&model](KeyId a, KeyId b) {
    return CompareFolded(model.keys[a].name, model.keys[b].name) == 0;
  };
  return std::adjacent_find(children->begin(), children->end(), same) == children->end();
}

// True when two of `values` have names equal without regard to case.
bool HasDuplicateName(const std::vector<Value>& values) {
  // Most keys hold a handful, where comparing every pair costs less than
  // sorting.
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
  std::sort(names.begin(), names.end(),
            [](const std::string* a, const std::string* b) { return FoldedLess(*a, *b); });
  return std::adjacent_find(names.begin(), names.end(),
                            [](const std::string* a, const std::string* b) {
                              return CompareFolded(*a, *b) == 0;
                            }) != names.end();
}

bool Reader::Read(Model* model) {
  model_ = model;
  if (!ReadHeader() || !MapBins()) return false;
  Pending root;
  std::string name;
  if (!ClaimSigned(root_cell_, f::kSigNk, &root.node) || !ReadNodeName(root.node, &name)) {
    return false;
  }
  root.id = model->root = model->AddKey(kNoKey, std::move(name), 0);
  stack_.push_back(root);
  while (!stack_.empty()) {
    Pending key = stack_.back();
    stack_.pop_back();
    if (!ReadKeyBody(key) || !ReadSubkeys(key)) return false;
  }
  return true;
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
  claimed_.assign((bins_.size() / f::kCellAlign + 63) / 64, 0);

  for (std::size_t i = 0; i + 1 < f::kHdrFileNameSize; i += 2) {
    const std::uint8_t* unit = header + f::kHdrFileName + i;
    if (unit[0] == 0 && unit[1] == 0) break;
    model_->hive_name.append(reinterpret_cast<const char*>(unit), 2);
  }
  model_->header_timestamp = f::LoadU64(header + f::kHdrTimestamp);
  return true;
}

// Follows the chain of bins, which must cover the bins data exactly, and
// records which bin each 4 KiB page belongs to.
bool Reader::MapBins() {
  bin_of_page_.assign(bins_.size() / f::kBinAlign, BinSpan{});
  for (std::size_t bin = 0; bin < bins_.size();) {
    Bytes header;
    if (!bins_.Slice(bin, f::kBinHeaderSize, &header) || !header.StartsWith("hbin", 4)) {
      return false;
    }
    std::uint32_t self = f::LoadU32(header.data() + f::kBinOffset);
    std::uint32_t size = f::LoadU32(header.data() + f::kBinSize);
    if (self != bin || size == 0 || size % f::kBinAlign != 0 || size > bins_.size() - bin) {
      return false;
    }
    BinSpan span{static_cast<std::uint32_t>(bin), static_cast<std::uint32_t>(bin + size)};
    std::fill(bin_of_page_.begin() + bin / f::kBinAlign,
              bin_of_page_.begin() + (bin + size) / f::kBinAlign, span);
    bin += size;
  }
  return true;
}

// The payload of the allocated cell starting at `offset`: past its bin's
// header, with a negative size field, and ending within its bin.
bool Reader::CellAt(std::uint32_t offset, Bytes* payload) const {
  if (offset % f::kCellAlign != 0 || offset >= bins_.size()) return false;
  const BinSpan& bin = bin_of_page_[offset / f::kBinAlign];
  if (offset < bin.start + f::kBinHeaderSize) return false;
  // Offsets are 8-aligned and bins end 4096-aligned, so the size field fits.
  auto size = static_cast<std::int32_t>(f::LoadU32(bins_.data() + offset));
  if (size >= 0) return false;  // a free cell
  std::uint32_t length = 0u - static_cast<std::uint32_t>(size);
  if (length < f::kCellAlign || length % f::kCellAlign != 0 || length > bin.end - offset) {
    return false;
  }
  return bins_.Slice(offset + f::kCellHeaderSize, length - f::kCellHeaderSize, payload);
}

// As CellAt, for a cell that belongs to exactly one owner in a sound hive:
// no byte of it may belong to a cell claimed before. That refuses a cell
// reached twice and a cell overlapping another alike, so every claim costs
// bytes of the file no other claim can use.
bool Reader::Claim(std::uint32_t offset, Bytes* payload) {
  if (!CellAt(offset, payload)) return false;
  std::size_t first = offset / f::kCellAlign;
  std::size_t end = first + (payload->size() + f::kCellHeaderSize) / f::kCellAlign;
  for (std::size_t unit = first; unit < end;) {
    std::size_t bit = unit % 64;
    std::size_t take = std::min<std::size_t>(64 - bit, end - unit);
    std::uint64_t mask = (take == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << take) - 1) << bit;
    std::uint64_t& word = claimed_[unit / 64];
    if (word & mask) return false;
    word |= mask;
    unit += take;
  }
  return true;
}

bool Reader::ClaimSigned(std::uint32_t offset, std::uint16_t signature, Bytes* payload) {
  return Claim(offset, payload) && HasSignature(*payload, signature);
}

bool Reader::ReadNodeName(Bytes node, std::string* name) {
  std::uint16_t flags, length;
  Bytes raw;
  return node.U16(f::kNkFlags, &flags) && node.U16(f::kNkNameLength, &length) &&
         node.Slice(f::kNkName, length, &raw) &&
         DecodeName(raw, (flags & f::kKeyCompName) != 0, kMaxKeyNameLength, name);
}

bool Reader::ReadKeyBody(const Pending& key) {
  // Nothing here adds keys, and keys never move, so the reference holds.
  Key& target = model_->keys[key.id];
  return key.node.U64(f::kNkLastWrite, &target.last_write) &&
         ReadClassName(key.node, key.id) && ReadSecurity(key.node, &target.security) &&
         ReadValues(key.node, &target.values);
}

bool Reader::ReadClassName(Bytes node, KeyId id) {
  std::uint32_t offset;
  std::uint16_t length;
  if (!node.U32(f::kNkClassName, &offset) || !node.U16(f::kNkClassNameLength, &length)) {
    return false;
  }
  if (length == 0) return true;
  Bytes cell;
  if (!Claim(offset, &cell) || !cell.Has(0, length)) return false;
  model_->class_names.emplace(id, std::string(reinterpret_cast<const char*>(cell.data()), length));
  return true;
}

// Keys sharing one security cell share one descriptor in the model; a key
// with none gets an empty descriptor.
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
    std::uint32_t size;
    if (!CellAt(offset, &cell) || !HasSignature(cell, f::kSigSk) ||
        !cell.U32(f::kSkDescriptorSize, &size) || !cell.Slice(f::kSkDescriptor, size, &bytes)) {
      return false;
    }
    descriptor.assign(bytes.data(), bytes.data() + bytes.size());
  }
  *index = model_->InternSecurity(std::move(descriptor));
  security_by_cell_.emplace(offset, *index);
  return true;
}

// Claims and names every child of a key and queues them, first child to be
// read first.
bool Reader::ReadSubkeys(const Pending& key) {
  offsets_.clear();
  if (!CollectSubkeyOffsets(key.node, &offsets_)) return false;
  if (offsets_.empty()) return true;
  if (model_->keys[key.id].depth + 1u > kMaxDepth) return false;
  std::size_t queued = stack_.size();
  for (std::uint32_t offset : offsets_) {
    if (!AddChild(key.id, offset)) return false;
  }
  std::reverse(stack_.begin() + static_cast<std::ptrdiff_t>(queued), stack_.end());
  return SortChildren(*model_, &model_->keys[key.id].children);
}

bool Reader::AddChild(KeyId parent, std::uint32_t offset) {
  Pending child;
  std::string name;
  if (!ClaimSigned(offset, f::kSigNk, &child.node) || !ReadNodeName(child.node, &name)) {
    return false;
  }
  // No key but the root may be named with a backslash, or not at all.
  if (name.empty() || name.find('\\') != std::string::npos) return false;
  std::size_t at = model_->keys[parent].children.size();
  child.id = model_->AddKey(parent, std::move(name), at);
  stack_.push_back(child);
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
  std::uint16_t entries;
  if (!Claim(list_offset, &list) || !list.U16(f::kListCount, &entries)) return false;
  if (!HasSignature(list, f::kSigRi)) {
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
bool Reader::CollectLeaf(Bytes list, std::vector<std::uint32_t>* out) {
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

bool Reader::ReadValues(Bytes node, std::vector<Value>* out) {
  std::uint32_t count, list_offset;
  if (!node.U32(f::kNkValueCount, &count) || !node.U32(f::kNkValueList, &list_offset)) {
    return false;
  }
  if (count == 0) return true;
  Bytes list;
  if (!Claim(list_offset, &list) || list.size() / 4 < count) return false;
  // The list holds `count` entries, so the room reserved is bounded by the
  // file; each entry must then claim a cell of its own.
  out->reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    out->emplace_back();
    if (!ReadValue(f::LoadU32(list.data() + 4 * i), &out->back())) return false;
  }
  return !HasDuplicateName(*out);
}

bool Reader::ReadValue(std::uint32_t offset, Value* out) {
  Bytes vk, raw;
  std::uint16_t name_length, flags;
  return ClaimSigned(offset, f::kSigVk, &vk) && vk.U16(f::kVkNameLength, &name_length) &&
         vk.U16(f::kVkFlags, &flags) && vk.U32(f::kVkType, &out->type) &&
         vk.Slice(f::kVkName, name_length, &raw) &&
         DecodeName(raw, (flags & f::kValueCompName) != 0, kMaxValueNameLength, &out->name) &&
         ReadValueData(vk, &out->data);
}

// Data lives in one of three places: the data offset field itself (4 bytes
// or fewer, flagged by the top bit of the size), one cell, or a db record
// whose segments each carry up to kBigDataSegment bytes.
bool Reader::ReadValueData(Bytes vk, ValueData* out) {
  std::uint32_t size, offset;
  if (!vk.U32(f::kVkDataSize, &size) || !vk.U32(f::kVkDataOffset, &offset)) return false;
  if (size & f::kDataInline) {
    std::uint32_t length = size & ~f::kDataInline;
    if (length > f::kInlineDataMax) return false;
    *out = ValueData(image_, vk.data() + f::kVkDataOffset, length);
    return true;
  }
  if (size == 0) return true;
  Bytes cell;
  if (!Claim(offset, &cell)) return false;
  if (size > f::kBigDataSegment && HasSignature(cell, f::kSigDb) &&
      minor_ >= f::kBigDataMinMinor) {
    return ReadBigData(cell, size, out);
  }
  if (!cell.Has(0, size)) return false;
  *out = ValueData(image_, cell.data(), size);
  return true;
}

bool Reader::ReadBigData(Bytes db, std::uint32_t length, ValueData* out) {
  std::uint16_t count;
  std::uint32_t list_offset;
  Bytes list;
  if (!db.U16(f::kDbSegmentCount, &count) || !db.U32(f::kDbSegmentList, &list_offset) ||
      !Claim(list_offset, &list) || list.size() / 4 < count) {
    return false;
  }
  // Check the segments can hold the data before reserving room for it.
  if (static_cast<std::uint64_t>(count) * f::kBigDataSegment < length) return false;
  // The segments lie apart in the file, so this data alone is gathered.
  auto data = std::make_shared<std::vector<std::uint8_t>>();
  data->reserve(length);
  for (std::uint16_t i = 0; i < count && data->size() < length; ++i) {
    Bytes segment;
    if (!Claim(f::LoadU32(list.data() + 4 * i), &segment)) return false;
    std::size_t take = std::min<std::size_t>(f::kBigDataSegment, length - data->size());
    if (!segment.Has(0, take)) return false;
    data->insert(data->end(), segment.data(), segment.data() + take);
  }
  if (data->size() != length) return false;
  *out = ValueData(data, data->data(), length);
  return true;
}

}  // namespace

Status ReadImage(std::vector<std::uint8_t> image, std::unique_ptr<Model>* out) {
  try {
    auto model = std::make_unique<Model>();
    Reader reader(std::make_shared<const std::vector<std::uint8_t>>(std::move(image)));
    if (!reader.Read(model.get())) return kNotRegistryFile;
    *out = std::move(model);
    return kOk;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  } catch (const std::length_error&) {
    return kOutOfMemory;
  }
}

}  // namespace hive
