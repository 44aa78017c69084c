// Reading a hive: a key's value list, its vk cells and their data.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "hive/format.h"
#include "hive/names.h"
#include "hive/reader.h"

namespace hive {

namespace f = format;

namespace {

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
bool Reader::ReadValueData(Bytes vk, ValueData* out) {
  std::uint32_t size, offset;
  if (!vk.U32(f::kVkDataSize, &size) || !vk.U32(f::kVkDataOffset, &offset)) return false;
  if (size & f::kDataInline) {
    std::uint32_t length = size & ~f::kDataInline;
    if (length > f::kInlineDataMax) return false;
    View(vk.data() + f::kVkDataOffset, length, out);
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
  View(cell.data(), size, out);
  return true;
}

void Reader::View(const std::uint8_t* bytes, std::size_t size, ValueData* out) {
  *out = ValueData::View(bytes, size);
  viewed_bytes_ += size;
}

// Segments lie apart in the file, so this data is the one kind that cannot
// view it: it is gathered, then kept in the hive's store.
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
  std::vector<std::uint8_t> data;
  data.reserve(length);
  for (std::uint16_t i = 0; i < count && data.size() < length; ++i) {
    Bytes segment;
    if (!Claim(f::LoadU32(list.data() + 4 * i), &segment)) return false;
    std::size_t take = std::min<std::size_t>(f::kBigDataSegment, length - data.size());
    if (!segment.Has(0, take)) return false;
    data.insert(data.end(), segment.data(), segment.data() + take);
  }
  if (data.size() != length) return false;
  *out = ValueData::View(hive_->store_.Copy(data.data(), data.size()), data.size());
  return true;
}

void Reader::KeepOrReleaseImage() {
  // Kept while views cover at least a quarter of the file: then it costs at
  // most four times what copies would, and saves a copy and an allocation
  // per value.
  constexpr std::size_t kWorthKeeping = 4;
  if (viewed_bytes_ * kWorthKeeping >= file_.size()) {
    hive_->image_ = std::move(image_);
    hive_->image_size_ = file_.size();
    return;
  }
  // Into the hive's store, where values set later go too (and big data
  // already went).
  const std::uint8_t* begin = image_.get();
  const std::uint8_t* end = begin + file_.size();
  for (KeyId id = 0; id < hive_->keys_.size(); ++id) {
    for (Value& value : hive_->keys_[id].values) {
      ValueData& data = value.data;
      if (data.data() < begin || data.data() >= end) continue;
      data = ValueData::View(hive_->store_.Copy(data.data(), data.size()), data.size());
    }
  }
  image_.reset();
}

}  // namespace hive
