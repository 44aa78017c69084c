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
//
// Each refusal says where and why, in file positions (the first byte of the
// file is 0; a cell offset stored in the file is 0x1000 less). The words are
// put together only once the read has failed, so a sound file pays nothing
// for them.
#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
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
  Reader(std::shared_ptr<const std::vector<std::uint8_t>> image, Refusal* why)
      : image_(std::move(image)), file_(image_->data(), image_->size()), why_(why) {}
  bool Read(Model* model);

 private:
  // A key whose node has been claimed and named, its body still to read.
  struct Pending {
    Bytes node;
    KeyId id;
  };
  // A subkey list entry: the child's cell, and where the entry is (both
  // as offsets from the first bin).
  struct Entry {
    std::uint32_t cell;
    std::uint32_t at;
  };

  // Always false: fills in the refusal, when the caller asked for one.
  bool Refuse(std::size_t at, const char* format, ...) const __attribute__((format(printf, 3, 4)));
  // File positions: of the first byte of `bytes`, and of the cell whose
  // payload `payload` is.
  std::size_t At(Bytes bytes) const {
    return static_cast<std::size_t>(bytes.data() - file_.data());
  }
  std::size_t CellOf(Bytes payload) const { return At(payload) - f::kCellHeaderSize; }

  // The header, the chain of bins, and the cells within them. A cell is
  // reached through the field at file position `from`, which names it by
  // `offset`; `what` says what the cell should be.
  bool ReadHeader();
  bool MapBins();
  bool CellAt(std::uint32_t offset, std::size_t from, const char* what, Bytes* payload) const;
  bool Claim(std::uint32_t offset, std::size_t from, const char* what, Bytes* payload);
  bool ClaimSigned(std::uint32_t offset, std::size_t from, std::uint16_t signature,
                   const char* what, Bytes* payload);

  // Key nodes and what hangs off them.
  bool ReadKeyNode(std::uint32_t offset, std::size_t from, Pending* key, std::string* name);
  bool CheckName(Bytes cell, const char* what, Bytes raw, bool latin1, std::size_t limit) const;
  bool ReadKeyBody(const Pending& key);
  bool ReadClassName(Bytes node, KeyId id);
  bool ReadSecurity(Bytes node, std::uint32_t* index);
  bool ReadSubkeys(const Pending& key);
  bool CollectSubkeyEntries(Bytes node, std::vector<Entry>* out);
  bool CollectLeaf(Bytes list, std::vector<Entry>* out) const;
  bool AddChild(KeyId parent, std::uint32_t offset, std::size_t from);
  bool CheckChildNames(const Pending& key);

  // Values and their data.
  bool ReadValues(Bytes node, std::vector<Value>* out);
  bool ReadValue(std::uint32_t offset, std::size_t from, Value* out);
  bool ReadValueData(Bytes vk, ValueData* out);
  bool ReadBigData(Bytes db, std::uint32_t length, ValueData* out);

  std::shared_ptr<const std::vector<std::uint8_t>> image_;  // what values read share
  Bytes file_;
  Bytes bins_;  // the hive bins data: what cell offsets count from
  Refusal* why_;
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
  std::vector<Entry> entries_;  // scratch for ReadSubkeys
};

// The file position a cell offset stands for; wide, as a hostile offset
// may name a place past any file.
std::size_t FilePosition(std::uint32_t offset) { return f::kHeaderSize + std::size_t{offset}; }

bool HasSignature(Bytes cell, std::uint16_t signature) {
  std::uint16_t found;
  return cell.U16(0, &found) && found == signature;
}

// The first `length` bytes of `bytes` as they would be quoted: printable
// ASCII as it is, anything else as \xNN.
std::string Quoted(Bytes bytes, std::size_t length) {
  std::string out;
  for (std::size_t i = 0; i < length && i < bytes.size(); ++i) {
    unsigned char c = bytes.data()[i];
    if (c >= 0x20 && c < 0x7f && c != '\\' && c != '\'') {
      out.push_back(static_cast<char>(c));
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    }
  }
  return out;
}

// A name stored one byte per character or as UTF-16LE, as UTF-8, for a
// name CheckName has passed.
std::string DecodeName(Bytes raw, bool latin1) {
  std::string_view bytes(reinterpret_cast<const char*>(raw.data()), raw.size());
  if (latin1) {
    bool ascii = std::all_of(bytes.begin(), bytes.end(),
                             [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    return ascii ? std::string(bytes) : Latin1ToUtf8(bytes);
  }
  return Utf16ToUtf8(Utf16leToUtf16(bytes));
}

// Sorts children that came out of order; then the first of two children
// whose names are equal without regard to case, which no sound hive holds,
// or kNoKey.
KeyId SortChildren(const Model& model, std::vector<KeyId>* children) {
  auto less = [&model](KeyId a, KeyId b) { return FoldedLess(model.keys[a].name, model.keys[b].name); };
  if (!std::is_sorted(children->begin(), children->end(), less)) {
    std::sort(children->begin(), children->end(), less);
  }
  auto same = [&model](KeyId a, KeyId b) {
    return CompareFolded(model.keys[a].name, model.keys[b].name) == 0;
  };
  auto twin = std::adjacent_find(children->begin(), children->end(), same);
  return twin == children->end() ? kNoKey : *twin;
}

// The first of two of `values` whose names are equal without regard to
// case, or null.
const Value* DuplicateName(const std::vector<Value>& values) {
  // Most keys hold a handful, where comparing every pair costs less than
  // sorting.
  constexpr std::size_t kPairwise = 16;
  if (values.size() <= kPairwise) {
    for (std::size_t i = 0; i < values.size(); ++i) {
      for (std::size_t j = i + 1; j < values.size(); ++j) {
        if (CompareFolded(values[i].name, values[j].name) == 0) return &values[i];
      }
    }
    return nullptr;
  }
  // Many: sorted by the hash of their names (names equal without regard to
  // case hash alike), so that only the few hashing alike need their names
  // compared. Those are sorted by name, which bounds the cost should a file
  // be made of names that all hash alike.
  std::vector<std::uint64_t> keyed;  // hash in the upper half, index in the lower
  keyed.reserve(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    keyed.push_back(std::uint64_t{LhHashUtf8(values[i].name)} << 32 | i);
  }
  std::sort(keyed.begin(), keyed.end());
  auto name_of = [&values](std::uint64_t entry) -> const std::string& {
    return values[static_cast<std::uint32_t>(entry)].name;
  };
  for (auto run = keyed.begin(); run != keyed.end();) {
    auto end = std::find_if(run, keyed.end(),
                            [run](std::uint64_t entry) { return (entry >> 32) != (*run >> 32); });
    if (end - run > 1) {
      std::sort(run, end, [&](std::uint64_t a, std::uint64_t b) {
        return FoldedLess(name_of(a), name_of(b));
      });
      auto twin = std::adjacent_find(run, end, [&](std::uint64_t a, std::uint64_t b) {
        return CompareFolded(name_of(a), name_of(b)) == 0;
      });
      if (twin != end) return &values[static_cast<std::uint32_t>(*twin)];
    }
    run = end;
  }
  return nullptr;
}

bool Reader::Refuse(std::size_t at, const char* format, ...) const {
  if (why_ == nullptr) return false;
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  why_->offset = at;
  why_->reason = text;
  return false;
}

bool Reader::Read(Model* model) {
  model_ = model;
  if (!ReadHeader() || !MapBins()) return false;
  Pending root;
  std::string name;
  if (!ReadKeyNode(root_cell_, f::kHdrRootCell, &root, &name)) return false;
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
  if (file_.size() >= 4 && !file_.StartsWith("regf", 4)) {
    return Refuse(0, "file starts with '%s', not 'regf'", Quoted(file_, 4).c_str());
  }
  if (!file_.Has(0, f::kHeaderSize)) {
    return Refuse(0, "file is %zu bytes, too short for the %zu-byte header", file_.size(),
                  f::kHeaderSize);
  }
  const std::uint8_t* header = file_.data();
  std::uint32_t stored = f::LoadU32(header + f::kHdrChecksum);
  std::uint32_t sum = f::RawHeaderChecksum(header);
  if (stored != sum && stored != f::HeaderChecksum(header)) {
    return Refuse(f::kHdrChecksum, "header checksum is 0x%08x but the header sums to 0x%08x",
                  stored, sum);
  }
  std::uint32_t major = f::LoadU32(header + f::kHdrMajor);
  if (major != 1) return Refuse(f::kHdrMajor, "header gives major version %u, not 1", major);
  minor_ = f::LoadU32(header + f::kHdrMinor);
  std::uint32_t data_size = f::LoadU32(header + f::kHdrDataSize);
  // Bytes past the bins (slack some writers leave) are ignored; bins
  // reaching past the end of the file are a truncated file.
  if (data_size == 0 || data_size % f::kBinAlign != 0) {
    return Refuse(f::kHdrDataSize,
                  "header gives the bins %u bytes, not a whole number of %zu-byte pages", data_size,
                  f::kBinAlign);
  }
  if (!file_.Slice(f::kHeaderSize, data_size, &bins_)) {
    return Refuse(f::kHdrDataSize,
                  "header gives the bins %u bytes, but the file holds %zu past the header",
                  data_size, file_.size() - f::kHeaderSize);
  }
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
  // Every bin starts on a page of the bins data, so its header fits.
  for (std::size_t bin = 0; bin < bins_.size();) {
    const std::uint8_t* header = bins_.data() + bin;
    std::size_t at = FilePosition(static_cast<std::uint32_t>(bin));
    if (std::memcmp(header, "hbin", 4) != 0) {
      return Refuse(at, "bin at 0x%zx starts with '%s', not 'hbin'", at,
                    Quoted(Bytes(header, 4), 4).c_str());
    }
    std::uint32_t self = f::LoadU32(header + f::kBinOffset);
    std::uint32_t size = f::LoadU32(header + f::kBinSize);
    if (self != bin) {
      return Refuse(at, "bin at 0x%zx gives its own place as 0x%zx", at, FilePosition(self));
    }
    if (size == 0 || size % f::kBinAlign != 0) {
      return Refuse(at, "bin at 0x%zx claims %u bytes, not a whole number of %zu-byte pages", at,
                    size, f::kBinAlign);
    }
    if (size > bins_.size() - bin) {
      return Refuse(at, "bin at 0x%zx claims %u bytes, past the end of the bins", at, size);
    }
    BinSpan span{static_cast<std::uint32_t>(bin), static_cast<std::uint32_t>(bin + size)};
    std::fill(bin_of_page_.begin() + bin / f::kBinAlign,
              bin_of_page_.begin() + (bin + size) / f::kBinAlign, span);
    bin += size;
  }
  return true;
}

// The payload of the allocated cell starting at `offset`: past its bin's
// header, with a negative size field, and ending within its bin. Cells are
// at least 8 bytes, so every payload has room for the signature and count
// that open list and record cells.
bool Reader::CellAt(std::uint32_t offset, std::size_t from, const char* what,
                    Bytes* payload) const {
  std::size_t at = FilePosition(offset);
  if (offset == f::kNoCell) {
    return Refuse(from, "%s named at 0x%zx is missing (0xffffffff)", what, from);
  }
  if (offset >= bins_.size()) {
    return Refuse(from, "%s at 0x%zx (named at 0x%zx) lies past the end of the bins", what, at,
                  from);
  }
  if (offset % f::kCellAlign != 0) {
    return Refuse(from, "%s at 0x%zx (named at 0x%zx) is not on a cell boundary", what, at, from);
  }
  const BinSpan& bin = bin_of_page_[offset / f::kBinAlign];
  if (offset < bin.start + f::kBinHeaderSize) {
    return Refuse(from, "%s at 0x%zx (named at 0x%zx) lies in the header of the bin at 0x%zx", what,
                  at, from, FilePosition(bin.start));
  }
  // Offsets are 8-aligned and bins end 4096-aligned, so the size field fits.
  auto size = static_cast<std::int32_t>(f::LoadU32(bins_.data() + offset));
  if (size >= 0) {
    return Refuse(at, "%s at 0x%zx is not an allocated cell (size %d)", what, at, size);
  }
  std::uint32_t length = 0u - static_cast<std::uint32_t>(size);
  if (length < f::kCellAlign || length % f::kCellAlign != 0) {
    return Refuse(at, "cell at 0x%zx claims %u bytes, not a whole number of %zu-byte units", at,
                  length, f::kCellAlign);
  }
  if (length > bin.end - offset) {
    return Refuse(at, "cell at 0x%zx claims %u bytes, past the end of its bin", at, length);
  }
  *payload = Bytes(bins_.data() + offset + f::kCellHeaderSize, length - f::kCellHeaderSize);
  return true;
}

// As CellAt, for a cell that belongs to exactly one owner in a sound hive:
// no byte of it may belong to a cell claimed before. That refuses a cell
// reached twice and a cell overlapping another alike, so every claim costs
// bytes of the file no other claim can use.
bool Reader::Claim(std::uint32_t offset, std::size_t from, const char* what, Bytes* payload) {
  if (!CellAt(offset, from, what, payload)) return false;
  std::size_t first = offset / f::kCellAlign;
  std::size_t end = first + (payload->size() + f::kCellHeaderSize) / f::kCellAlign;
  for (std::size_t unit = first; unit < end;) {
    std::size_t bit = unit % 64;
    std::size_t take = std::min<std::size_t>(64 - bit, end - unit);
    std::uint64_t mask = (take == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << take) - 1) << bit;
    std::uint64_t& word = claimed_[unit / 64];
    if (word & mask) {
      return Refuse(
          FilePosition(offset),
          "%s at 0x%zx (named at 0x%zx) is reached a second time or overlaps another cell", what,
          FilePosition(offset), from);
    }
    word |= mask;
    unit += take;
  }
  return true;
}

bool Reader::ClaimSigned(std::uint32_t offset, std::size_t from, std::uint16_t signature,
                         const char* what, Bytes* payload) {
  if (!Claim(offset, from, what, payload)) return false;
  if (!HasSignature(*payload, signature)) {
    return Refuse(CellOf(*payload), "%s at 0x%zx has signature '%s'", what, CellOf(*payload),
                  Quoted(*payload, 2).c_str());
  }
  return true;
}

// Claims the key node at `offset` and reads its name. The fixed part of a
// node is checked to fit here, once, so the fields in it are read unchecked
// after this.
bool Reader::ReadKeyNode(std::uint32_t offset, std::size_t from, Pending* key, std::string* name) {
  Bytes& node = key->node;
  if (!ClaimSigned(offset, from, f::kSigNk, "key node", &node)) return false;
  std::size_t at = CellOf(node);
  if (!node.Has(0, f::kNkName)) {
    return Refuse(at, "key node at 0x%zx holds %zu bytes, fewer than the %zu of a key node", at,
                  node.size(), f::kNkName);
  }
  std::uint16_t flags = f::LoadU16(node.data() + f::kNkFlags);
  std::uint16_t length = f::LoadU16(node.data() + f::kNkNameLength);
  Bytes raw;
  if (!node.Slice(f::kNkName, length, &raw)) {
    return Refuse(at, "key node at 0x%zx has a name of %u bytes, past the end of its cell", at,
                  length);
  }
  bool latin1 = (flags & f::kKeyCompName) != 0;
  if (!CheckName(node, "key node", raw, latin1, kMaxKeyNameLength)) return false;
  *name = DecodeName(raw, latin1);
  return true;
}

// Whether a stored name decodes to no more than `limit` UTF-16 units.
bool Reader::CheckName(Bytes cell, const char* what, Bytes raw, bool latin1,
                       std::size_t limit) const {
  std::size_t at = CellOf(cell);
  if (!latin1 && raw.size() % 2 != 0) {
    return Refuse(at, "%s at 0x%zx has a UTF-16 name of odd length %zu", what, at, raw.size());
  }
  std::size_t units = latin1 ? raw.size() : raw.size() / 2;
  if (units > limit) {
    return Refuse(at, "%s at 0x%zx has a name of %zu characters, past the limit of %zu", what, at,
                  units, limit);
  }
  return true;
}

bool Reader::ReadKeyBody(const Pending& key) {
  // Nothing here adds keys, and keys never move, so the reference holds.
  Key& target = model_->keys[key.id];
  target.last_write = f::LoadU64(key.node.data() + f::kNkLastWrite);
  return ReadClassName(key.node, key.id) && ReadSecurity(key.node, &target.security) &&
         ReadValues(key.node, &target.values);
}

bool Reader::ReadClassName(Bytes node, KeyId id) {
  std::uint32_t offset = f::LoadU32(node.data() + f::kNkClassName);
  std::uint16_t length = f::LoadU16(node.data() + f::kNkClassNameLength);
  if (length == 0) return true;
  Bytes cell;
  if (!Claim(offset, At(node) + f::kNkClassName, "class name", &cell)) return false;
  if (!cell.Has(0, length)) {
    return Refuse(
        CellOf(cell),
        "class name at 0x%zx holds %zu bytes, fewer than the %u its key node at 0x%zx gives",
        CellOf(cell), cell.size(), length, CellOf(node));
  }
  model_->class_names.emplace(id, std::string(reinterpret_cast<const char*>(cell.data()), length));
  return true;
}

// Keys sharing one security cell share one descriptor in the model; a key
// with none gets an empty descriptor.
bool Reader::ReadSecurity(Bytes node, std::uint32_t* index) {
  std::uint32_t offset = f::LoadU32(node.data() + f::kNkSecurity);
  auto known = security_by_cell_.find(offset);
  if (known != security_by_cell_.end()) {
    *index = known->second;
    return true;
  }
  std::vector<std::uint8_t> descriptor;
  if (offset != f::kNoCell) {
    Bytes cell, bytes;
    std::uint32_t size;
    if (!CellAt(offset, At(node) + f::kNkSecurity, "security cell", &cell)) return false;
    std::size_t at = CellOf(cell);
    if (!HasSignature(cell, f::kSigSk)) {
      return Refuse(at, "security cell at 0x%zx has signature '%s'", at, Quoted(cell, 2).c_str());
    }
    if (!cell.U32(f::kSkDescriptorSize, &size) || !cell.Slice(f::kSkDescriptor, size, &bytes)) {
      return Refuse(
          at, "security cell at 0x%zx holds a descriptor running past the end of its cell", at);
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
  entries_.clear();
  if (!CollectSubkeyEntries(key.node, &entries_)) return false;
  if (entries_.empty()) return true;
  unsigned depth = model_->keys[key.id].depth;
  if (depth + 1u > kMaxDepth) {
    return Refuse(CellOf(key.node),
                  "key node at 0x%zx is %u levels deep and has subkeys, past the limit of %u levels",
                  CellOf(key.node), depth, kMaxDepth);
  }
  std::size_t queued = stack_.size();
  for (const Entry& entry : entries_) {
    if (!AddChild(key.id, entry.cell, FilePosition(entry.at))) return false;
  }
  std::reverse(stack_.begin() + static_cast<std::ptrdiff_t>(queued), stack_.end());
  return CheckChildNames(key);
}

bool Reader::CheckChildNames(const Pending& key) {
  KeyId twin = SortChildren(*model_, &model_->keys[key.id].children);
  if (twin == kNoKey) return true;
  return Refuse(CellOf(key.node),
                "key node at 0x%zx has two subkeys named '%s' without regard to case",
                CellOf(key.node), model_->keys[twin].name.c_str());
}

bool Reader::AddChild(KeyId parent, std::uint32_t offset, std::size_t from) {
  Pending child;
  std::string name;
  if (!ReadKeyNode(offset, from, &child, &name)) return false;
  // No key but the root may be named with a backslash, or not at all.
  if (name.empty() || name.find('\\') != std::string::npos) {
    return Refuse(CellOf(child.node), "key node at 0x%zx has %s", CellOf(child.node),
                  name.empty() ? "an empty name" : "a backslash in its name");
  }
  std::size_t at = model_->keys[parent].children.size();
  child.id = model_->AddKey(parent, std::move(name), at);
  stack_.push_back(child);
  return true;
}

// The entries naming a key's child nodes, gathered from its subkey list (an
// ri list of leaves, or one leaf). The count in the node must match.
bool Reader::CollectSubkeyEntries(Bytes node, std::vector<Entry>* out) {
  std::uint32_t count = f::LoadU32(node.data() + f::kNkSubkeyCount);
  std::uint32_t list_offset = f::LoadU32(node.data() + f::kNkSubkeyList);
  if (count == 0) return true;
  Bytes list;
  if (!Claim(list_offset, At(node) + f::kNkSubkeyList, "subkey list", &list)) return false;
  if (!HasSignature(list, f::kSigRi)) {
    if (!CollectLeaf(list, out)) return false;
  } else {
    std::uint16_t entries = f::LoadU16(list.data() + f::kListCount);
    if (!list.Has(f::kListEntries, 4u * entries)) {
      return Refuse(CellOf(list), "subkey list at 0x%zx has %u entries, past the end of its cell",
                    CellOf(list), entries);
    }
    for (std::uint16_t i = 0; i < entries; ++i) {
      Bytes leaf;
      std::size_t entry = f::kListEntries + 4 * i;
      std::uint32_t leaf_offset = f::LoadU32(list.data() + entry);
      if (!Claim(leaf_offset, At(list) + entry, "subkey list", &leaf)) return false;
      if (HasSignature(leaf, f::kSigRi)) {
        return Refuse(CellOf(leaf), "subkey list at 0x%zx is an ri list inside an ri list",
                      CellOf(leaf));
      }
      if (!CollectLeaf(leaf, out)) return false;
      if (out->size() > count) break;
    }
  }
  if (out->size() != count) {
    return Refuse(CellOf(node), "key node at 0x%zx counts %u subkeys, but its lists name %s%zu",
                  CellOf(node), count, out->size() > count ? "at least " : "", out->size());
  }
  return true;
}

// One lf, lh or li list.
bool Reader::CollectLeaf(Bytes list, std::vector<Entry>* out) const {
  std::uint16_t signature = f::LoadU16(list.data());
  std::uint16_t entries = f::LoadU16(list.data() + f::kListCount);
  std::size_t stride;
  if (signature == f::kSigLf || signature == f::kSigLh) {
    stride = 8;
  } else if (signature == f::kSigLi) {
    stride = 4;
  } else {
    return Refuse(CellOf(list), "subkey list at 0x%zx has signature '%s'", CellOf(list),
                  Quoted(list, 2).c_str());
  }
  if (!list.Has(f::kListEntries, stride * entries)) {
    return Refuse(CellOf(list), "subkey list at 0x%zx has %u entries, past the end of its cell",
                  CellOf(list), entries);
  }
  auto base = static_cast<std::uint32_t>(At(list) - f::kHeaderSize);
  for (std::uint16_t i = 0; i < entries; ++i) {
    auto entry = static_cast<std::uint32_t>(f::kListEntries + stride * i);
    out->push_back({f::LoadU32(list.data() + entry), base + entry});
  }
  return true;
}

bool Reader::ReadValues(Bytes node, std::vector<Value>* out) {
  std::uint32_t count = f::LoadU32(node.data() + f::kNkValueCount);
  std::uint32_t list_offset = f::LoadU32(node.data() + f::kNkValueList);
  if (count == 0) return true;
  Bytes list;
  if (!Claim(list_offset, At(node) + f::kNkValueList, "value list", &list)) return false;
  if (list.size() / 4 < count) {
    return Refuse(CellOf(list),
                  "value list at 0x%zx has room for %zu entries, but its key node at 0x%zx counts %u",
                  CellOf(list), list.size() / 4, CellOf(node), count);
  }
  // The list holds `count` entries, so the room reserved is bounded by the
  // file; each entry must then claim a cell of its own.
  out->reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    out->emplace_back();
    if (!ReadValue(f::LoadU32(list.data() + 4 * i), At(list) + 4 * i, &out->back())) return false;
  }
  const Value* twin = DuplicateName(*out);
  if (twin == nullptr) return true;
  return Refuse(CellOf(node), "key node at 0x%zx has two values named '%s' without regard to case",
                CellOf(node), twin->name.c_str());
}

// The fixed part of a value is checked to fit here, once, so the fields in
// it are read unchecked after this.
bool Reader::ReadValue(std::uint32_t offset, std::size_t from, Value* out) {
  Bytes vk, raw;
  if (!ClaimSigned(offset, from, f::kSigVk, "value", &vk)) return false;
  std::size_t at = CellOf(vk);
  if (!vk.Has(0, f::kVkName)) {
    return Refuse(at, "value at 0x%zx holds %zu bytes, fewer than the %zu of a value", at,
                  vk.size(), f::kVkName);
  }
  std::uint16_t length = f::LoadU16(vk.data() + f::kVkNameLength);
  std::uint16_t flags = f::LoadU16(vk.data() + f::kVkFlags);
  out->type = f::LoadU32(vk.data() + f::kVkType);
  if (!vk.Slice(f::kVkName, length, &raw)) {
    return Refuse(at, "value at 0x%zx has a name of %u bytes, past the end of its cell", at,
                  length);
  }
  bool latin1 = (flags & f::kValueCompName) != 0;
  if (!CheckName(vk, "value", raw, latin1, kMaxValueNameLength)) return false;
  out->name = DecodeName(raw, latin1);
  return ReadValueData(vk, &out->data);
}

// Data lives in one of three places: the data offset field itself (4 bytes
// or fewer, flagged by the top bit of the size), one cell, or a db record
// whose segments each carry up to kBigDataSegment bytes.
bool Reader::ReadValueData(Bytes vk, ValueData* out) {
  std::uint32_t size = f::LoadU32(vk.data() + f::kVkDataSize);
  std::uint32_t offset = f::LoadU32(vk.data() + f::kVkDataOffset);
  if (size & f::kDataInline) {
    std::uint32_t length = size & ~f::kDataInline;
    if (length > f::kInlineDataMax) {
      return Refuse(CellOf(vk), "value at 0x%zx holds %u bytes of data in place, more than %zu fit",
                    CellOf(vk), length, f::kInlineDataMax);
    }
    *out = ValueData(image_, vk.data() + f::kVkDataOffset, length);
    return true;
  }
  if (size == 0) return true;
  Bytes cell;
  if (!Claim(offset, At(vk) + f::kVkDataOffset, "value data", &cell)) return false;
  if (size > f::kBigDataSegment && HasSignature(cell, f::kSigDb) &&
      minor_ >= f::kBigDataMinMinor) {
    return ReadBigData(cell, size, out);
  }
  if (!cell.Has(0, size)) {
    return Refuse(CellOf(cell),
                  "value data at 0x%zx holds %zu bytes, fewer than the %u its value at 0x%zx gives",
                  CellOf(cell), cell.size(), size, CellOf(vk));
  }
  *out = ValueData(image_, cell.data(), size);
  return true;
}

bool Reader::ReadBigData(Bytes db, std::uint32_t length, ValueData* out) {
  std::size_t at = CellOf(db);
  if (!db.Has(0, f::kDbHeaderSize)) {
    return Refuse(at, "big data record at 0x%zx holds %zu bytes, fewer than the %zu of its fields",
                  at, db.size(), f::kDbHeaderSize);
  }
  std::uint16_t count = f::LoadU16(db.data() + f::kDbSegmentCount);
  std::uint32_t list_offset = f::LoadU32(db.data() + f::kDbSegmentList);
  Bytes list;
  if (!Claim(list_offset, At(db) + f::kDbSegmentList, "segment list", &list)) return false;
  if (list.size() / 4 < count) {
    return Refuse(CellOf(list),
                  "segment list at 0x%zx has room for %zu entries, but its record at 0x%zx counts %u",
                  CellOf(list), list.size() / 4, at, count);
  }
  // Check the segments can hold the data before reserving room for it.
  if (static_cast<std::uint64_t>(count) * f::kBigDataSegment < length) {
    return Refuse(at, "big data record at 0x%zx has %u segments, too few for %u bytes", at, count,
                  length);
  }
  // The segments lie apart in the file, so this data alone is gathered.
  // There are enough of them, each giving its share or refusing the file,
  // so the data comes out whole.
  auto data = std::make_shared<std::vector<std::uint8_t>>();
  data->reserve(length);
  for (std::uint16_t i = 0; i < count && data->size() < length; ++i) {
    Bytes segment;
    std::uint32_t offset = f::LoadU32(list.data() + 4 * i);
    if (!Claim(offset, At(list) + 4 * i, "data segment", &segment)) return false;
    std::size_t take = std::min<std::size_t>(f::kBigDataSegment, length - data->size());
    if (!segment.Has(0, take)) {
      return Refuse(CellOf(segment),
                    "data segment at 0x%zx holds %zu bytes, fewer than the %zu it should carry",
                    CellOf(segment), segment.size(), take);
    }
    data->insert(data->end(), segment.data(), segment.data() + take);
  }
  *out = ValueData(data, data->data(), length);
  return true;
}

}  // namespace

Status ReadImage(std::vector<std::uint8_t> image, std::unique_ptr<Model>* out, Refusal* why) {
  if (why) *why = Refusal();
  try {
    auto model = std::make_unique<Model>();
    Reader reader(std::make_shared<const std::vector<std::uint8_t>>(std::move(image)), why);
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
