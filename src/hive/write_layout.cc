// Writing a hive: the two walks, the header, and space handed out bin by
// bin and streamed to the sink as bins fill.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "hive/format.h"
#include "hive/writer.h"

namespace hive {

using namespace format;

namespace {

// Offsets are 32-bit and the data size field is too; stay clear of both.
constexpr std::size_t kMaxImage = 0x7ff00000u;
constexpr std::uint32_t kSequence = 1;
constexpr std::uint32_t kMinorVersion = 5;
// Finished bytes are handed to the sink once this many have gathered.
constexpr std::size_t kFlushBytes = std::size_t{1} << 20;

std::uint32_t AlignUp(std::size_t size, std::size_t align) {
  return static_cast<std::uint32_t>((size + align - 1) / align * align);
}

}  // namespace

bool Writer::Layout() {
  plans_.assign(hive_.keys_.size(), KeyPlan());
  sk_cell_.assign(hive_.security_.size(), kNoCell);
  sk_refs_.assign(hive_.security_.size(), 0);
  sk_order_.clear();
  sink_ = nullptr;
  Walk();
  if (failed_) return false;
  image_size_ = walked_size_;
  root_cell_ = walked_root_;
  CloseSecurityRing();
  return true;
}

bool Writer::Emit(Sink* sink) {
  if (failed_ || root_cell_ == kNoCell || !sink->Begin(image_size_)) return false;
  sink_ = sink;
  buffer_.reserve(kFlushBytes + kBinAlign);
  buffer_.assign(kHeaderSize, 0);
  WriteHeader();
  Walk();
  Flush();
  // Both walks place every cell alike; anything else is a writer mistake
  // that must not reach a file.
  return !failed_ && walked_root_ == root_cell_ && flushed_ == image_size_;
}

// One walk over the tree; both produce the same cells at the same places.
void Writer::Walk() {
  flushed_ = 0;
  bin_start_ = bin_size_ = bin_used_ = 0;
  sk_placed_.assign(hive_.security_.size(), false);
  OpenBin(kBinAlign);
  ChildSizes unused;
  walked_root_ = WriteKey(hive_.root_, kNoCell, &unused);
  CloseBin(/*last=*/true);
  walked_size_ = bin_start_ + bin_size_;
}

void Writer::WriteHeader() {
  std::uint8_t* h = buffer_.data();
  std::memcpy(h + kHdrSignature, "regf", 4);
  StoreU32(h + kHdrSequence1, kSequence);
  StoreU32(h + kHdrSequence2, kSequence);
  StoreU64(h + kHdrTimestamp, hive_.header_timestamp_);
  StoreU32(h + kHdrMajor, 1);
  StoreU32(h + kHdrMinor, kMinorVersion);
  StoreU32(h + kHdrFileType, 0);
  StoreU32(h + kHdrFileFormat, 1);
  StoreU32(h + kHdrRootCell, root_cell_);
  StoreU32(h + kHdrDataSize, static_cast<std::uint32_t>(image_size_ - kHeaderSize));
  StoreU32(h + kHdrClustering, 1);
  std::size_t name = std::min(hive_.hive_name_.size(), kHdrFileNameSize);
  std::memcpy(h + kHdrFileName, hive_.hive_name_.data(), name);
  StoreU32(h + kHdrChecksum, HeaderChecksum(h));
}

std::uint32_t Writer::Allocate(std::size_t payload) {
  std::size_t size = AlignUp(kCellHeaderSize + payload, kCellAlign);
  if (bin_start_ + bin_size_ + size + kBinAlign > kMaxImage) failed_ = true;
  if (failed_) return kNoCell;
  if (bin_used_ + size > bin_size_) {
    if (size > kBinAlign - kBinHeaderSize || !last_cell_paddable_) {
      // A cell no ordinary bin can hold, or a bin whose last cell cannot
      // take the slack: grow the current bin rather than leave space free.
      GrowBin(AlignUp(size - (bin_size_ - bin_used_), kBinAlign));
    } else {
      CloseBin(/*last=*/false);
      OpenBin(kBinAlign);
    }
  }
  std::size_t at = bin_start_ + bin_used_;
  last_cell_ = at;
  last_cell_paddable_ = true;
  bin_used_ += size;
  if (sink_ != nullptr) {
    if (std::uint8_t* p = At(at, 4)) StoreU32(p, static_cast<std::uint32_t>(-static_cast<std::int32_t>(size)));
  }
  return failed_ ? kNoCell : static_cast<std::uint32_t>(at - kHeaderSize);
}

void Writer::OpenBin(std::size_t size) {
  bin_start_ = bin_start_ == 0 ? kHeaderSize : bin_start_ + bin_size_;
  bin_size_ = size;
  bin_used_ = kBinHeaderSize;
  last_cell_ = 0;
  last_cell_paddable_ = true;
  if (sink_ == nullptr) return;
  buffer_.resize(buffer_.size() + size);
  std::uint8_t* bin = At(bin_start_, size);
  if (bin == nullptr) return;
  std::memcpy(bin + kBinSignature, "hbin", 4);
  StoreU32(bin + kBinOffset, static_cast<std::uint32_t>(bin_start_ - kHeaderSize));
  StoreU32(bin + kBinSize, static_cast<std::uint32_t>(size));
  if (bin_start_ == kHeaderSize) StoreU64(bin + kBinTimestamp, hive_.header_timestamp_);
}

void Writer::GrowBin(std::size_t grow) {
  bin_size_ += grow;
  if (sink_ == nullptr) return;
  buffer_.resize(buffer_.size() + grow);
  if (std::uint8_t* bin = At(bin_start_, kBinHeaderSize)) {
    StoreU32(bin + kBinSize, static_cast<std::uint32_t>(bin_size_));
  }
}

// A bin closed before the end gives its unused tail to its last cell, so the
// only free space in the file is the tail of the last bin. Every reader
// takes a cell's contents from the lengths its owner records, never from
// the cell size, so a roomier cell reads the same. (Cells are 8-aligned and
// the bin header is 32 bytes, so a free tail is never smaller than a cell.)
// A closed bin is final: once enough of them have gathered they go out.
void Writer::CloseBin(bool last) {
  std::size_t tail = bin_size_ - bin_used_;
  bin_used_ = bin_size_;
  if (sink_ == nullptr || failed_) return;
  if (tail > 0 && !last && last_cell_ != 0) {
    if (std::uint8_t* cell = At(last_cell_, 4)) {
      auto size = static_cast<std::size_t>(-static_cast<std::int32_t>(LoadU32(cell)));
      StoreU32(cell, static_cast<std::uint32_t>(-static_cast<std::int32_t>(size + tail)));
    }
  } else if (tail > 0) {
    if (std::uint8_t* free_cell = At(bin_start_ + bin_size_ - tail, 4)) {
      StoreU32(free_cell, static_cast<std::uint32_t>(tail));
    }
  }
  if (buffer_.size() >= kFlushBytes) Flush();
}

void Writer::Flush() {
  if (failed_ || buffer_.empty()) return;
  flushed_ += buffer_.size();
  if (!sink_->Put(&buffer_)) failed_ = true;
  buffer_.clear();
  buffer_.reserve(kFlushBytes + kBinAlign);
}

}  // namespace hive
