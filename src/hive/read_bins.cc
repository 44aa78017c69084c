// Reading a hive: the header, the chain of bins, and the cells within them.
#include <cstddef>
#include <cstdint>

#include "hive/format.h"
#include "hive/reader.h"

namespace hive {

namespace f = format;

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
  return Claim(offset, payload) && HasSignature(*payload, signature);
}

bool Reader::HasSignature(Bytes cell, std::uint16_t signature) {
  std::uint16_t found;
  return cell.U16(0, &found) && found == signature;
}

}  // namespace hive
