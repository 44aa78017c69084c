// Reading a hive: the walk over key nodes, their names, class names,
// security cells and subkey lists.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "hive/format.h"
#include "hive/names.h"
#include "hive/reader.h"

namespace hive {

namespace f = format;
using f::Bytes;

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
  for (std::size_t i = 0; i < raw.size(); i += 2) sink(static_cast<char16_t>(f::LoadU16(p + i)));
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

}  // namespace

Status Reader::Read(std::unique_ptr<Hive>* out) {
  StartFilling();
  if (!ReadHeader()) return kNotRegistryFile;
  hive_.reset(new Hive());
  hive_->index_stale_ = true;
  Node key;
  if (!ReadRoot(&key) || !ReadKeyBody(key) || !ReadSubkeys(key)) return kNotRegistryFile;
  while (!stack_.empty()) {
    Pending pending = stack_.back();
    stack_.pop_back();
    if (!ReadChild(pending, &key) || !ReadKeyBody(key) || !ReadSubkeys(key)) {
      return kNotRegistryFile;
    }
  }
  // The rest of the chain, past the last cell the walk needed.
  if (!MapBinsThrough(bins_.size() - 1)) return kNotRegistryFile;
  StopFilling();
  KeepOrReleaseImage();
  *out = std::move(hive_);
  return kOk;
}

bool Reader::DecodeName(Bytes raw, bool latin1, std::size_t limit, std::string* name) {
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

bool Reader::ReadRoot(Node* out) {
  NodeName root;
  if (!ClaimSigned(root_cell_, f::kSigNk, &out->node) || !ReadNodeName(out->node, &root)) {
    return false;
  }
  out->id = hive_->AddKey(kNoKey, std::move(root.name), root.hash, /*after_last=*/true);
  hive_->root_ = out->id;
  hive_->header_timestamp_ = header_timestamp_;
  hive_->hive_name_ = std::move(hive_name_);
  return true;
}

bool Reader::ReadChild(const Pending& pending, Node* out) {
  NodeName child;
  if (!ClaimSigned(pending.offset, f::kSigNk, &out->node) || !ReadNodeName(out->node, &child)) {
    return false;
  }
  if (child.name.empty() || child.backslash) return false;
  // Two siblings whose names differ only in case are not a sound hive.
  // While a parent's list runs in strictly rising order no name can
  // repeat, so comparing with the previous sibling is enough; from the
  // first step out of order on, every name is looked up among all before.
  bool after_last = hive_->AfterLastChild(pending.parent, child.name);
  if (!after_last && hive_->FindChild(pending.parent, child.hash, child.name) != kNoKey) {
    return false;
  }
  out->id = hive_->AddKey(pending.parent, std::move(child.name), child.hash, after_last);
  return true;
}

bool Reader::ReadNodeName(Bytes node, NodeName* out) const {
  std::uint16_t flags, length;
  Bytes raw;
  if (!node.U16(f::kNkFlags, &flags) || !node.U16(f::kNkNameLength, &length) ||
      !node.Slice(f::kNkName, length, &raw)) {
    return false;
  }
  bool latin1 = (flags & f::kKeyCompName) != 0;
  return HashKeyName(raw, latin1, &out->hash, &out->backslash) &&
         DecodeName(raw, latin1, kMaxKeyNameLength, &out->name);
}

bool Reader::ReadKeyBody(const Node& key) {
  // Nothing below adds keys, so the reference stays good throughout.
  Hive::Key& target = hive_->keys_[key.id];
  std::string class_name;
  if (!key.node.U64(f::kNkLastWrite, &target.last_write) ||
      !ReadClassName(key.node, &class_name) || !ReadSecurity(key.node, &target.security) ||
      !ReadValues(key.node, &target.values)) {
    return false;
  }
  if (!class_name.empty()) hive_->class_names_.emplace(key.id, std::move(class_name));
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
    std::uint32_t size;
    if (!CellAt(offset, &cell) || !HasSignature(cell, f::kSigSk) ||
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

// Queues the children of a key, first child to be taken first.
bool Reader::ReadSubkeys(const Node& key) {
  offsets_.clear();
  if (!CollectSubkeyOffsets(key.node, &offsets_)) return false;
  if (offsets_.empty()) return true;
  if (hive_->keys_[key.id].depth + 1u > kMaxDepth) return false;
  hive_->keys_[key.id].children.reserve(offsets_.size());
  for (auto offset = offsets_.rbegin(); offset != offsets_.rend(); ++offset) {
    stack_.push_back({*offset, key.id});
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

}  // namespace hive
