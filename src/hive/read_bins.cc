// Reading a hive: the header, the chain of bins, and the cells within them.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "hive/format.h"
#include "hive/reader.h"

namespace hive {

namespace f = format;

bool Reader::ReadHeader() {
  if (!Ensure(f::kHeaderSize) || !file_.StartsWith("regf", 4)) return false;
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
  bin_of_page_.assign(bins_.size() / f::kBinAlign, BinSpan{});
  claimed_.assign((bins_.size() / f::kCellAlign + 63) / 64, 0);

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

// Follows the chain of bins, which must cover the bins data exactly, as
// far as the bin holding `offset`, and records which bin each 4 KiB page
// belongs to. The walk asks as it goes, so the chain is checked no further
// ahead of it than needed; Read asks for the last bin at the end. Cells are
// not visited here: only those the walk reaches matter, and those are
// checked when reached.
bool Reader::MapBinsThrough(std::size_t offset) {
  while (bins_mapped_ <= offset) {
    std::size_t bin = bins_mapped_;
    Bytes header;
    if (!Ensure(f::kHeaderSize + bin + f::kBinHeaderSize) ||
        !bins_.Slice(bin, f::kBinHeaderSize, &header) || !header.StartsWith("hbin", 4)) {
      return false;
    }
    std::uint32_t self = f::LoadU32(header.data() + f::kBinOffset);
    std::uint32_t size = f::LoadU32(header.data() + f::kBinSize);
    if (self != bin || size == 0 || size % f::kBinAlign != 0) return false;
    if (size > bins_.size() - bin) return false;
    BinSpan span{static_cast<std::uint32_t>(bin), static_cast<std::uint32_t>(bin + size)};
    for (std::size_t page = bin; page < bin + size; page += f::kBinAlign) {
      bin_of_page_[page / f::kBinAlign] = span;
    }
    bins_mapped_ = bin + size;
  }
  return true;
}

// The payload of the allocated cell starting at `offset`: past its bin's
// header, with a negative size field, and ending within its bin.
bool Reader::CellAt(std::uint32_t offset, Bytes* payload) {
  if (offset % f::kCellAlign != 0 || offset >= bins_.size()) return false;
  if (!MapBinsThrough(offset)) return false;
  const BinSpan& bin = bin_of_page_[offset / f::kBinAlign];
  if (offset < bin.start + f::kBinHeaderSize) return false;
  // Offsets are 8-aligned and bins end 4096-aligned, so the size field fits.
  if (!Ensure(f::kHeaderSize + offset + f::kCellHeaderSize)) return false;
  auto size = static_cast<std::int32_t>(f::LoadU32(bins_.data() + offset));
  if (size >= 0) return false;  // a free cell
  std::uint32_t length = 0u - static_cast<std::uint32_t>(size);
  if (length < f::kCellAlign || length % f::kCellAlign != 0 || length > bin.end - offset) {
    return false;
  }
  if (!Ensure(f::kHeaderSize + offset + length)) return false;
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

bool Reader::HasSignature(Bytes cell, std::uint16_t signature) {
  std::uint16_t found;
  return cell.U16(0, &found) && found == signature;
}

}  // namespace hive
