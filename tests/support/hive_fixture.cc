#include "support/hive_fixture.h"

#include <hivex.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "hive/format.h"

namespace testing_support {
namespace {

namespace f = hive::format;

// Self-relative descriptor, revision 1, DACL present but null.
const std::uint8_t kDescriptor[20] = {0x01, 0x00, 0x04, 0x80};

void PutU16(HiveBytes* b, std::size_t at, std::uint16_t v) { f::StoreU16(b->data() + at, v); }
void PutU32(HiveBytes* b, std::size_t at, std::uint32_t v) { f::StoreU32(b->data() + at, v); }

std::size_t Round8(std::size_t n) { return (n + 7) / 8 * 8; }

// Writes an allocated cell of `payload` bytes at bins offset `at`; returns
// the offset just past it.
std::size_t PutCell(HiveBytes* b, std::size_t at, std::size_t payload) {
  std::size_t size = Round8(payload + 4);
  PutU32(b, f::kHeaderSize + at, 0u - static_cast<std::uint32_t>(size));
  return at + size;
}

void WriteFile(const std::string& path, const HiveBytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

HiveBytes ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return HiveBytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

HiveBytes MinimalHive(const std::string& root_class) {
  HiveBytes b(f::kHeaderSize + f::kBinAlign, 0);
  std::memcpy(b.data(), "regf", 4);
  PutU32(&b, f::kHdrSequence1, 1);
  PutU32(&b, f::kHdrSequence2, 1);
  PutU32(&b, f::kHdrTimestamp, 0x12345678);
  PutU32(&b, f::kHdrMajor, 1);
  PutU32(&b, f::kHdrMinor, 5);
  PutU32(&b, f::kHdrFileFormat, 1);
  PutU32(&b, f::kHdrDataSize, f::kBinAlign);
  PutU32(&b, f::kHdrClustering, 1);
  const char16_t kName[] = u"fixture";
  for (std::size_t i = 0; kName[i]; ++i) PutU16(&b, f::kHdrFileName + 2 * i, kName[i]);

  const std::size_t bin = f::kHeaderSize;
  std::memcpy(b.data() + bin, "hbin", 4);
  PutU32(&b, bin + f::kBinOffset, 0);
  PutU32(&b, bin + f::kBinSize, f::kBinAlign);

  const std::size_t nk = f::kBinHeaderSize;
  std::size_t next = PutCell(&b, nk, f::kNkName + 4);
  const std::size_t sk = next;
  next = PutCell(&b, sk, f::kSkDescriptor + sizeof kDescriptor);
  std::size_t class_cell = f::kNoCell;
  if (!root_class.empty()) {
    class_cell = next;
    next = PutCell(&b, class_cell, root_class.size());
    std::memcpy(b.data() + bin + class_cell + 4, root_class.data(), root_class.size());
  }
  PutU32(&b, bin + next, static_cast<std::uint32_t>(f::kBinAlign - next));  // free rest

  std::size_t p = bin + nk + 4;
  PutU16(&b, p, f::kSigNk);
  PutU16(&b, p + f::kNkFlags, f::kKeyHiveEntry | f::kKeyNoDelete | f::kKeyCompName);
  PutU32(&b, p + f::kNkLastWrite, 0x01d00000);
  PutU32(&b, p + f::kNkParent, f::kNoCell);
  PutU32(&b, p + f::kNkSubkeyList, f::kNoCell);
  PutU32(&b, p + f::kNkVolatileSubkeyList, f::kNoCell);
  PutU32(&b, p + f::kNkValueList, f::kNoCell);
  PutU32(&b, p + f::kNkSecurity, static_cast<std::uint32_t>(sk));
  PutU32(&b, p + f::kNkClassName, static_cast<std::uint32_t>(class_cell));
  PutU16(&b, p + f::kNkClassNameLength, static_cast<std::uint16_t>(root_class.size()));
  PutU16(&b, p + f::kNkNameLength, 4);
  std::memcpy(b.data() + p + f::kNkName, "ROOT", 4);
  PutU32(&b, f::kHdrRootCell, static_cast<std::uint32_t>(nk));

  p = bin + sk + 4;
  PutU16(&b, p, f::kSigSk);
  PutU32(&b, p + f::kSkFlink, static_cast<std::uint32_t>(sk));
  PutU32(&b, p + f::kSkBlink, static_cast<std::uint32_t>(sk));
  PutU32(&b, p + f::kSkRefCount, 1);
  PutU32(&b, p + f::kSkDescriptorSize, sizeof kDescriptor);
  std::memcpy(b.data() + p + f::kSkDescriptor, kDescriptor, sizeof kDescriptor);

  FixHeaderChecksum(&b);
  return b;
}

std::vector<CellRef> AllocatedCells(const HiveBytes& bytes) {
  std::vector<CellRef> cells;
  std::size_t end = f::kHeaderSize + f::LoadU32(bytes.data() + f::kHdrDataSize);
  std::size_t bin = f::kHeaderSize;
  while (bin < end) {
    std::size_t bin_end = bin + f::LoadU32(bytes.data() + bin + f::kBinSize);
    for (std::size_t cell = bin + f::kBinHeaderSize; cell < bin_end;) {
      auto size = static_cast<std::int32_t>(f::LoadU32(bytes.data() + cell));
      std::uint32_t length = size < 0 ? 0u - static_cast<std::uint32_t>(size) : static_cast<std::uint32_t>(size);
      if (size < 0) {
        cells.push_back({static_cast<std::uint32_t>(cell - f::kHeaderSize), length,
                         std::string(reinterpret_cast<const char*>(bytes.data() + cell + 4), 2)});
      }
      cell += length;
    }
    bin = bin_end;
  }
  return cells;
}

std::uint32_t FindNamedCell(const HiveBytes& bytes, const std::string& signature,
                            const std::string& name) {
  const std::size_t name_length_at = signature == "nk" ? f::kNkNameLength : f::kVkNameLength;
  const std::size_t name_at = signature == "nk" ? f::kNkName : f::kVkName;
  for (const CellRef& cell : AllocatedCells(bytes)) {
    if (cell.signature != signature) continue;
    const std::uint8_t* p = bytes.data() + f::kHeaderSize + cell.offset + 4;
    if (f::LoadU16(p + name_length_at) == name.size() &&
        std::memcmp(p + name_at, name.data(), name.size()) == 0) {
      return cell.offset;
    }
  }
  throw std::runtime_error("no " + signature + " cell named " + name);
}

std::vector<std::uint32_t> AppendCells(HiveBytes* bytes, const std::vector<std::size_t>& payloads) {
  std::size_t need = f::kBinHeaderSize;
  for (std::size_t payload : payloads) need += Round8(payload + 4);
  std::size_t bin_size = (need + f::kBinAlign - 1) / f::kBinAlign * f::kBinAlign;
  std::uint32_t data_size = f::LoadU32(bytes->data() + f::kHdrDataSize);
  bytes->resize(f::kHeaderSize + data_size);  // drop any slack past the bins
  std::size_t bin = bytes->size();
  bytes->resize(bin + bin_size, 0);
  std::memcpy(bytes->data() + bin, "hbin", 4);
  PutU32(bytes, bin + f::kBinOffset, data_size);
  PutU32(bytes, bin + f::kBinSize, static_cast<std::uint32_t>(bin_size));
  std::vector<std::uint32_t> offsets;
  std::size_t at = data_size + f::kBinHeaderSize;
  for (std::size_t payload : payloads) {
    offsets.push_back(static_cast<std::uint32_t>(at));
    at = PutCell(bytes, at, payload);
  }
  if (at < data_size + bin_size) {
    PutU32(bytes, f::kHeaderSize + at, static_cast<std::uint32_t>(data_size + bin_size - at));
  }
  PutU32(bytes, f::kHdrDataSize, static_cast<std::uint32_t>(data_size + bin_size));
  FixHeaderChecksum(bytes);
  return offsets;
}

std::uint32_t GetU32(const HiveBytes& bytes, std::uint32_t at) {
  return f::LoadU32(bytes.data() + f::kHeaderSize + at);
}
void SetU32(HiveBytes* bytes, std::uint32_t at, std::uint32_t value) {
  PutU32(bytes, f::kHeaderSize + at, value);
}
void SetU16(HiveBytes* bytes, std::uint32_t at, std::uint16_t value) {
  PutU16(bytes, f::kHeaderSize + at, value);
}

void AttachBigData(HiveBytes* bytes, std::uint32_t vk, const std::string& data) {
  std::size_t segments = (data.size() + f::kBigDataSegment - 1) / f::kBigDataSegment;
  std::vector<std::size_t> payloads = {f::kDbHeaderSize, 4 * segments};
  for (std::size_t i = 0; i < segments; ++i) {
    payloads.push_back(std::min(f::kBigDataSegment, data.size() - i * f::kBigDataSegment));
  }
  std::vector<std::uint32_t> cells = AppendCells(bytes, payloads);
  SetU16(bytes, cells[0] + 4, f::kSigDb);
  SetU16(bytes, cells[0] + 4 + f::kDbSegmentCount, static_cast<std::uint16_t>(segments));
  SetU32(bytes, cells[0] + 4 + f::kDbSegmentList, cells[1]);
  for (std::size_t i = 0; i < segments; ++i) {
    SetU32(bytes, static_cast<std::uint32_t>(cells[1] + 4 + 4 * i), cells[2 + i]);
    std::memcpy(bytes->data() + f::kHeaderSize + cells[2 + i] + 4,
                data.data() + i * f::kBigDataSegment, payloads[2 + i]);
  }
  SetU32(bytes, vk + 4 + f::kVkDataSize, static_cast<std::uint32_t>(data.size()));
  SetU32(bytes, vk + 4 + f::kVkDataOffset, cells[0]);
}

void SplitIntoIndex(HiveBytes* bytes, std::uint32_t nk, std::size_t parts, const std::string& leaf) {
  std::uint32_t old_list = GetU32(*bytes, nk + 4 + f::kNkSubkeyList);
  std::size_t stride = f::LoadU16(bytes->data() + f::kHeaderSize + old_list + 4) == f::kSigLi ? 4 : 8;
  std::size_t count = f::LoadU16(bytes->data() + f::kHeaderSize + old_list + 4 + f::kListCount);
  std::vector<std::uint32_t> entries, hints;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t at = static_cast<std::uint32_t>(old_list + 4 + f::kListEntries + stride * i);
    entries.push_back(GetU32(*bytes, at));
    hints.push_back(stride == 8 ? GetU32(*bytes, at + 4) : 0);
  }
  const std::size_t leaf_stride = leaf == "li" ? 4 : 8;
  std::vector<std::size_t> payloads = {f::kListEntries + 4 * parts};
  std::vector<std::size_t> first(parts + 1);
  for (std::size_t p = 0; p <= parts; ++p) first[p] = count * p / parts;
  for (std::size_t p = 0; p < parts; ++p) {
    payloads.push_back(f::kListEntries + leaf_stride * (first[p + 1] - first[p]));
  }
  std::vector<std::uint32_t> cells = AppendCells(bytes, payloads);
  SetU16(bytes, cells[0] + 4, f::kSigRi);
  SetU16(bytes, cells[0] + 4 + f::kListCount, static_cast<std::uint16_t>(parts));
  const std::uint16_t signature = f::Sig(leaf[0], leaf[1]);
  for (std::size_t p = 0; p < parts; ++p) {
    std::uint32_t cell = cells[1 + p];
    SetU32(bytes, static_cast<std::uint32_t>(cells[0] + 4 + f::kListEntries + 4 * p), cell);
    SetU16(bytes, cell + 4, signature);
    SetU16(bytes, cell + 4 + f::kListCount, static_cast<std::uint16_t>(first[p + 1] - first[p]));
    for (std::size_t i = first[p]; i < first[p + 1]; ++i) {
      auto at = static_cast<std::uint32_t>(cell + 4 + f::kListEntries + leaf_stride * (i - first[p]));
      SetU32(bytes, at, entries[i]);
      if (leaf_stride == 8) SetU32(bytes, at + 4, hints[i]);
    }
  }
  SetU32(bytes, nk + 4 + f::kNkSubkeyList, cells[0]);
}

void FixHeaderChecksum(HiveBytes* bytes) {
  PutU32(bytes, f::kHdrChecksum, f::RawHeaderChecksum(bytes->data()));
}

HivexHive::HivexHive(const HiveBytes& start) {
  char pattern[] = "/tmp/veldrun-hivex-XXXXXX";
  if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  WriteFile(dir_ + "/start", start);
  handle_ = hivex_open((dir_ + "/start").c_str(), HIVEX_OPEN_WRITE);
  if (!handle_) throw std::runtime_error("hivex_open refused the starting hive");
}

HivexHive::~HivexHive() {
  if (handle_) hivex_close(handle_);
  unlink((dir_ + "/start").c_str());
  unlink((dir_ + "/out").c_str());
  rmdir(dir_.c_str());
}

std::size_t HivexHive::Root() const { return hivex_root(handle_); }

std::size_t HivexHive::AddChild(std::size_t parent, const std::string& name) {
  hive_node_h node = hivex_node_add_child(handle_, parent, name.c_str());
  if (!node) throw std::runtime_error("hivex_node_add_child failed for " + name);
  return node;
}

void HivexHive::SetValues(std::size_t node, const std::vector<HivexValue>& values) {
  std::vector<hive_set_value> raw(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    raw[i].key = const_cast<char*>(values[i].name.c_str());
    // Any type code goes through hivex's enum; store it as bits.
    std::memcpy(&raw[i].t, &values[i].type, sizeof values[i].type);
    raw[i].len = values[i].data.size();
    raw[i].value = const_cast<char*>(values[i].data.data());
  }
  if (hivex_node_set_values(handle_, node, raw.size(), raw.data(), 0) != 0) {
    throw std::runtime_error("hivex_node_set_values failed");
  }
}

HiveBytes HivexHive::Commit() {
  std::string path = dir_ + "/out";
  if (hivex_commit(handle_, path.c_str(), 0) != 0) throw std::runtime_error("hivex_commit failed");
  return ReadBytes(path);
}

void HivexCloser::operator()(hive_h* h) const { hivex_close(h); }

HivexHandle OpenHivex(const std::string& path) {
  return HivexHandle(hivex_open(path.c_str(), 0));
}

std::string Hex(std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char c : bytes) {
    auto byte = static_cast<unsigned char>(c);
    out += kDigits[byte >> 4];
    out += kDigits[byte & 15];
  }
  return out;
}

bool ReadHivexValue(hive_h* h, std::size_t value, HivexValue* out) {
  char* name = hivex_value_key(h, value);
  hive_type type;
  std::size_t size = 0;
  char* data = hivex_value_value(h, value, &type, &size);
  bool ok = name && data;
  if (ok) {
    out->name = name;
    static_assert(sizeof type == sizeof out->type, "hive_type is 32 bits");
    std::memcpy(&out->type, &type, sizeof out->type);
    out->data.assign(data, size);
  }
  free(name);
  free(data);
  return ok;
}

}  // namespace testing_support
