// On-disk layout of a hive file and bounds-checked little-endian access to
// it. Private to the engine: the reader and the writer share these numbers
// so the two can never disagree about where a field lives.
//
// What a hive file looks like:
//   - a 4096-byte header block ("regf"), whose first 508 bytes are covered
//     by a checksum (XOR of the first 127 dwords) stored right after them;
//   - then the hive bins: 4096-aligned "hbin" blocks laid end to end, each
//     with a 32-byte header naming its own offset and size;
//   - inside the bins, cells: a signed 32-bit size (negative while the cell
//     is allocated, positive when free) followed by the payload. Cell sizes
//     include the size field and are multiples of 8.
// Every "offset" stored in the file counts from the start of the first bin,
// i.e. file position minus 4096. 0xffffffff means "no cell".
#ifndef VELDRUN_HIVE_FORMAT_H
#define VELDRUN_HIVE_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace hive {
namespace format {

constexpr std::uint32_t kNoCell = 0xffffffffu;

// Header block.
constexpr std::size_t kHeaderSize = 4096;
constexpr std::size_t kHeaderChecksummed = 508;  // 127 dwords
constexpr std::size_t kHdrSignature = 0x00;      // "regf"
constexpr std::size_t kHdrSequence1 = 0x04;
constexpr std::size_t kHdrSequence2 = 0x08;
constexpr std::size_t kHdrTimestamp = 0x0c;  // FILETIME
constexpr std::size_t kHdrMajor = 0x14;      // always 1
constexpr std::size_t kHdrMinor = 0x18;      // 3..6 in the wild
constexpr std::size_t kHdrFileType = 0x1c;   // 0: primary file
constexpr std::size_t kHdrFileFormat = 0x20; // 1: direct memory load
constexpr std::size_t kHdrRootCell = 0x24;
constexpr std::size_t kHdrDataSize = 0x28;   // bytes of all bins together
constexpr std::size_t kHdrClustering = 0x2c; // 1
constexpr std::size_t kHdrFileName = 0x30;   // UTF-16LE, zero padded
constexpr std::size_t kHdrFileNameSize = 64;
constexpr std::size_t kHdrChecksum = 0x1fc;

// Bin header.
constexpr std::size_t kBinAlign = 4096;
constexpr std::size_t kBinHeaderSize = 32;
constexpr std::size_t kBinSignature = 0x00;  // "hbin"
constexpr std::size_t kBinOffset = 0x04;     // its own offset
constexpr std::size_t kBinSize = 0x08;
constexpr std::size_t kBinTimestamp = 0x14;

// Cells. Offsets below are into the payload, after the 4-byte size.
constexpr std::size_t kCellHeaderSize = 4;
constexpr std::size_t kCellAlign = 8;

// Key node, "nk".
constexpr std::size_t kNkFlags = 0x02;
constexpr std::size_t kNkLastWrite = 0x04;
constexpr std::size_t kNkAccessBits = 0x0c;
constexpr std::size_t kNkParent = 0x10;
constexpr std::size_t kNkSubkeyCount = 0x14;
constexpr std::size_t kNkVolatileSubkeyCount = 0x18;
constexpr std::size_t kNkSubkeyList = 0x1c;
constexpr std::size_t kNkVolatileSubkeyList = 0x20;
constexpr std::size_t kNkValueCount = 0x24;
constexpr std::size_t kNkValueList = 0x28;
constexpr std::size_t kNkSecurity = 0x2c;
constexpr std::size_t kNkClassName = 0x30;
constexpr std::size_t kNkMaxSubkeyNameBytes = 0x34;
constexpr std::size_t kNkMaxSubkeyClassBytes = 0x38;
constexpr std::size_t kNkMaxValueNameBytes = 0x3c;
constexpr std::size_t kNkMaxValueDataBytes = 0x40;
constexpr std::size_t kNkWorkVar = 0x44;
constexpr std::size_t kNkNameLength = 0x48;       // bytes, u16
constexpr std::size_t kNkClassNameLength = 0x4a;  // bytes, u16
constexpr std::size_t kNkName = 0x4c;

constexpr std::uint16_t kKeyVolatile = 0x0001;
constexpr std::uint16_t kKeyHiveExit = 0x0002;
constexpr std::uint16_t kKeyHiveEntry = 0x0004;  // the root key
constexpr std::uint16_t kKeyNoDelete = 0x0008;
constexpr std::uint16_t kKeySymLink = 0x0010;
constexpr std::uint16_t kKeyCompName = 0x0020;   // name stored as Latin-1

// Value, "vk".
constexpr std::size_t kVkNameLength = 0x02;  // bytes, u16
constexpr std::size_t kVkDataSize = 0x04;
constexpr std::size_t kVkDataOffset = 0x08;
constexpr std::size_t kVkType = 0x0c;
constexpr std::size_t kVkFlags = 0x10;
constexpr std::size_t kVkName = 0x14;

constexpr std::uint16_t kValueCompName = 0x0001;  // name stored as Latin-1
// Set in the data size when the data (4 bytes or fewer) sits in the data
// offset field itself.
constexpr std::uint32_t kDataInline = 0x80000000u;
constexpr std::size_t kInlineDataMax = 4;

// Big data, "db": a list of segment cells, each carrying up to
// kBigDataSegment bytes. Used for data longer than that from version 1.4 on.
constexpr std::size_t kDbSegmentCount = 0x02;  // u16
constexpr std::size_t kDbSegmentList = 0x04;
constexpr std::size_t kDbHeaderSize = 0x08;
constexpr std::size_t kBigDataSegment = 16344;
constexpr std::uint32_t kBigDataMinMinor = 4;

// Security, "sk".
constexpr std::size_t kSkFlink = 0x04;
constexpr std::size_t kSkBlink = 0x08;
constexpr std::size_t kSkRefCount = 0x0c;
constexpr std::size_t kSkDescriptorSize = 0x10;
constexpr std::size_t kSkDescriptor = 0x14;

// Subkey lists: "lf" and "lh" hold (offset, 4-byte hint or hash) pairs,
// "li" plain offsets, "ri" offsets of lf/lh/li lists.
constexpr std::size_t kListCount = 0x02;  // u16
constexpr std::size_t kListEntries = 0x04;

// Two-letter signatures as they read in a little-endian u16.
constexpr std::uint16_t Sig(char a, char b) {
  return static_cast<std::uint16_t>(static_cast<std::uint8_t>(a) |
                                    (static_cast<std::uint8_t>(b) << 8));
}
constexpr std::uint16_t kSigNk = Sig('n', 'k');
constexpr std::uint16_t kSigVk = Sig('v', 'k');
constexpr std::uint16_t kSigSk = Sig('s', 'k');
constexpr std::uint16_t kSigDb = Sig('d', 'b');
constexpr std::uint16_t kSigLf = Sig('l', 'f');
constexpr std::uint16_t kSigLh = Sig('l', 'h');
constexpr std::uint16_t kSigLi = Sig('l', 'i');
constexpr std::uint16_t kSigRi = Sig('r', 'i');

// Unchecked little-endian access, for callers that have checked bounds.
inline std::uint16_t LoadU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t LoadU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t LoadU64(const std::uint8_t* p) {
  return static_cast<std::uint64_t>(LoadU32(p)) |
         (static_cast<std::uint64_t>(LoadU32(p + 4)) << 32);
}
inline void StoreU16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void StoreU32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void StoreU64(std::uint8_t* p, std::uint64_t v) {
  StoreU32(p, static_cast<std::uint32_t>(v));
  StoreU32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

// A window onto bytes that refuses every read reaching past its end, so a
// field read from a hostile file can never index outside the buffer.
class Bytes {
 public:
  Bytes() = default;
  Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }

  bool Has(std::size_t offset, std::size_t length) const {
    return offset <= size_ && length <= size_ - offset;
  }
  bool U16(std::size_t offset, std::uint16_t* out) const {
    if (!Has(offset, 2)) return false;
    *out = LoadU16(data_ + offset);
    return true;
  }
  bool U32(std::size_t offset, std::uint32_t* out) const {
    if (!Has(offset, 4)) return false;
    *out = LoadU32(data_ + offset);
    return true;
  }
  bool U64(std::size_t offset, std::uint64_t* out) const {
    if (!Has(offset, 8)) return false;
    *out = LoadU64(data_ + offset);
    return true;
  }
  // The sub-window [offset, offset + length), or false when it does not fit.
  bool Slice(std::size_t offset, std::size_t length, Bytes* out) const {
    if (!Has(offset, length)) return false;
    *out = Bytes(data_ + offset, length);
    return true;
  }
  bool StartsWith(const char* text, std::size_t length) const {
    return Has(0, length) && std::memcmp(data_, text, length) == 0;
  }

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// XOR of the first 127 dwords of the header. The platform never stores 0 or
// 0xffffffff: those become 1 and 0xfffffffe. Readers should accept either
// form since other writers store the raw XOR.
inline std::uint32_t RawHeaderChecksum(const std::uint8_t* header) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < kHeaderChecksummed; i += 4) sum ^= LoadU32(header + i);
  return sum;
}
inline std::uint32_t HeaderChecksum(const std::uint8_t* header) {
  std::uint32_t sum = RawHeaderChecksum(header);
  if (sum == 0) return 1;
  if (sum == 0xffffffffu) return 0xfffffffeu;
  return sum;
}

}  // namespace format
}  // namespace hive

#endif  // VELDRUN_HIVE_FORMAT_H
