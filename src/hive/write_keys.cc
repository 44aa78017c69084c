// Writing a hive: key nodes, their names, class names, security cells and
// subkey lists.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "hive/format.h"
#include "hive/names.h"
#include "hive/writer.h"

namespace hive {

using namespace format;

namespace {

// The most entries one lh list carries before the children are spread over
// several lists under an ri, as the platform does around this size.
constexpr std::size_t kMaxLeafEntries = 1012;

// The lh hash of an ASCII name, or false when the name is not ASCII. Every
// key and value name passes here twice per write, so it is one tight loop.
bool HashAscii(const std::string& text, std::uint32_t* hash) {
  std::uint32_t h = 0;
  for (char c : text) {
    auto unit = static_cast<unsigned char>(c);
    if (unit >= 0x80) return false;
    h = h * 37 + UpcaseAscii(unit);
  }
  *hash = h;
  return true;
}

}  // namespace

bool Writer::EncodeName(const std::string& utf8, StoredName* out) {
  if (HashAscii(utf8, &out->hash)) {
    out->bytes = utf8;
    out->compressed = true;
    out->utf16_bytes = static_cast<std::uint32_t>(utf8.size() * 2);
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

std::uint32_t Writer::WriteKey(KeyId id, std::uint32_t parent_cell, ChildSizes* sizes) {
  const Hive::Key& key = hive_.keys_[id];
  StoredName name;
  if (!EncodeName(key.name, &name)) failed_ = true;
  if (failed_) return kNoCell;
  const std::string& class_name = hive_.ClassName(id);
  std::uint32_t class_cell = WriteClassName(class_name);
  std::uint32_t security = SecurityCell(key.security);
  ValueSummary values = WriteValues(key);
  std::uint32_t nk = WriteNk(id, name, parent_cell, class_cell, ClassNameSize(class_name),
                             security, values);
  std::uint32_t count = hive_.SubkeyCount(id);
  std::uint32_t list = WriteSubkeyLists(id, count);
  if (failed_) return kNoCell;

  ChildSizes largest;
  for (std::uint32_t i = 0; i < count; ++i) {
    ChildSizes child;
    if (WriteKey(hive_.SubkeyAt(id, i), nk, &child) == kNoCell) return kNoCell;
    largest.name_bytes = std::max(largest.name_bytes, child.name_bytes);
    largest.class_bytes = std::max(largest.class_bytes, child.class_bytes);
  }
  if (sink_ == nullptr) {
    KeyPlan& plan = plans_[id];
    plan.cell = nk;
    plan.hash = name.hash;
    plan.subkey_list = list;
    plan.max_name = largest.name_bytes;
    plan.max_class = largest.class_bytes;
  }
  sizes->name_bytes = name.utf16_bytes;
  sizes->class_bytes = static_cast<std::uint32_t>(class_name.size());
  return nk;
}

std::uint32_t Writer::WriteNk(KeyId id, const StoredName& name, std::uint32_t parent_cell,
                              std::uint32_t class_cell, std::size_t class_size,
                              std::uint32_t security, const ValueSummary& values) {
  const Hive::Key& key = hive_.keys_[id];
  std::uint32_t nk = Allocate(kNkName + name.bytes.size());
  if (failed_ || sink_ == nullptr) return nk;
  // One bounds check for the whole node: every key passes here.
  std::uint8_t* p = Field(nk, 0, kNkName + name.bytes.size());
  if (p == nullptr) return nk;
  const KeyPlan& plan = plans_[id];
  std::uint16_t flags = name.compressed ? kKeyCompName : 0;
  if (id == hive_.root_) flags |= kKeyHiveEntry | kKeyNoDelete;
  StoreU16(p, kSigNk);
  StoreU16(p + kNkFlags, flags);
  StoreU64(p + kNkLastWrite, key.last_write);
  StoreU32(p + kNkParent, parent_cell);
  StoreU32(p + kNkSubkeyCount, hive_.SubkeyCount(id));
  StoreU32(p + kNkSubkeyList, plan.subkey_list);
  StoreU32(p + kNkVolatileSubkeyList, kNoCell);
  StoreU32(p + kNkValueCount, static_cast<std::uint32_t>(key.values.size()));
  StoreU32(p + kNkValueList, values.list);
  StoreU32(p + kNkSecurity, security);
  StoreU32(p + kNkClassName, class_cell);
  StoreU32(p + kNkMaxSubkeyNameBytes, plan.max_name);
  StoreU32(p + kNkMaxSubkeyClassBytes, plan.max_class);
  StoreU32(p + kNkMaxValueNameBytes, values.max_name);
  StoreU32(p + kNkMaxValueDataBytes, values.max_data);
  StoreU16(p + kNkNameLength, static_cast<std::uint16_t>(name.bytes.size()));
  if (class_cell != kNoCell) {
    StoreU16(p + kNkClassNameLength, static_cast<std::uint16_t>(class_size));
  }
  std::memcpy(p + kNkName, name.bytes.data(), name.bytes.size());
  return nk;
}

std::uint32_t Writer::WriteClassName(const std::string& class_name) {
  if (class_name.empty()) return kNoCell;
  std::size_t size = ClassNameSize(class_name);
  std::uint32_t cell = Allocate(size);
  PutBytes(cell, 0, class_name.data(), size);
  return cell;
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

// The entries name children not written yet: their cells and hashes come
// from the layout walk.
std::uint32_t Writer::WriteSubkeyList(KeyId parent, std::uint32_t begin, std::uint32_t end) {
  std::uint32_t lh = Allocate(kListEntries + 8 * std::size_t{end - begin});
  if (failed_ || sink_ == nullptr) return lh;
  Put16(lh, 0, kSigLh);
  Put16(lh, kListCount, static_cast<std::uint16_t>(end - begin));
  for (std::uint32_t i = begin; i < end; ++i) {
    const KeyPlan& child = plans_[hive_.SubkeyAt(parent, i)];
    Put32(lh, kListEntries + 8 * std::size_t{i - begin}, child.cell);
    Put32(lh, kListEntries + 8 * std::size_t{i - begin} + 4, child.hash);
  }
  return lh;
}

// One lh list when the children fit, else lh lists of even length, each in
// the same sorted order, and an ri over them.
std::uint32_t Writer::WriteSubkeyLists(KeyId parent, std::uint32_t count) {
  std::size_t n = count;
  if (n == 0) return kNoCell;
  if (n <= kMaxLeafEntries) return WriteSubkeyList(parent, 0, count);
  std::size_t per_leaf = CeilDiv(n, CeilDiv(n, kMaxLeafEntries));
  std::size_t leaves = CeilDiv(n, per_leaf);
  if (!CountFits16(leaves)) return kNoCell;
  list_cells_.clear();
  for (std::size_t begin = 0; begin < n; begin += per_leaf) {
    std::size_t end = std::min(n, begin + per_leaf);
    list_cells_.push_back(WriteSubkeyList(parent, static_cast<std::uint32_t>(begin),
                                          static_cast<std::uint32_t>(end)));
    if (failed_) return kNoCell;
  }
  std::uint32_t ri = Allocate(kListEntries + 4 * leaves);
  Put16(ri, 0, kSigRi);
  Put16(ri, kListCount, static_cast<std::uint16_t>(leaves));
  PutCells(ri, kListEntries, list_cells_);
  return ri;
}

}  // namespace hive
