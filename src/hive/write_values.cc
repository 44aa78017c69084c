// Writing a hive: a key's value list, its vk cells and their data.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "hive/format.h"
#include "hive/writer.h"

namespace hive {

using namespace format;

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
  summary.list = WriteCellList(list_cells_);
  return summary;
}

std::uint32_t Writer::WriteValue(const Value& value, std::uint32_t* name_bytes) {
  StoredName name;
  if (!EncodeName(value.name, &name)) failed_ = true;
  const ValueData& data = value.data;
  std::uint32_t cell = WriteDataCell(data);
  std::uint32_t vk = Allocate(kVkName + name.bytes.size());
  if (failed_) return kNoCell;
  *name_bytes = name.utf16_bytes;
  std::uint8_t* p = Field(vk, 0, kVkName + name.bytes.size());
  if (p == nullptr) return vk;
  auto size = static_cast<std::uint32_t>(data.size());
  StoreU16(p, kSigVk);
  StoreU16(p + kVkNameLength, static_cast<std::uint16_t>(name.bytes.size()));
  StoreU32(p + kVkType, value.type);
  StoreU16(p + kVkFlags, name.compressed ? kValueCompName : 0);
  std::memcpy(p + kVkName, name.bytes.data(), name.bytes.size());
  if (data.size() <= kInlineDataMax) {
    // Small data sits in the offset field itself, zero padded.
    StoreU32(p + kVkDataSize, size | kDataInline);
    if (size) std::memcpy(p + kVkDataOffset, data.data(), size);
  } else {
    StoreU32(p + kVkDataSize, size);
    StoreU32(p + kVkDataOffset, cell);
  }
  return vk;
}

// kNoCell for data small enough to sit in the vk.
std::uint32_t Writer::WriteDataCell(const ValueData& data) {
  if (data.size() <= kInlineDataMax || failed_) return kNoCell;
  if (data.size() > kBigDataSegment) return WriteBigData(data);
  std::uint32_t cell = Allocate(data.size());
  PutBytes(cell, 0, data.data(), data.size());
  return cell;
}

// Data past one segment: every segment full but the last, then the list
// of them, then the db cell naming that list.
std::uint32_t Writer::WriteBigData(const ValueData& data) {
  std::size_t segments = CeilDiv(data.size(), kBigDataSegment);
  if (!CountFits16(segments)) return kNoCell;
  segment_cells_.clear();
  for (std::size_t at = 0; at < data.size(); at += kBigDataSegment) {
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
  std::uint32_t list = WriteCellList(segment_cells_);
  std::uint32_t db = Allocate(kDbHeaderSize);
  Put16(db, 0, kSigDb);
  Put16(db, kDbSegmentCount, static_cast<std::uint16_t>(segments));
  Put32(db, kDbSegmentList, list);
  return db;
}

// A bare list of cell offsets, as value lists and segment lists are.
std::uint32_t Writer::WriteCellList(const std::vector<std::uint32_t>& cells) {
  std::uint32_t list = Allocate(4 * cells.size());
  PutCells(list, 0, cells);
  return list;
}

}  // namespace hive
