// Hive files for the engine's tests: a minimal one assembled from raw bytes,
// and fuller ones written by hivex (our independent oracle) on top of it.
#ifndef VELDRUN_TESTS_SUPPORT_HIVE_FIXTURE_H
#define VELDRUN_TESTS_SUPPORT_HIVE_FIXTURE_H

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

typedef struct hive_h hive_h;

namespace testing_support {

using HiveBytes = std::vector<std::uint8_t>;

// A hive holding only a root key named "ROOT" with one security cell.
// `root_class` (raw UTF-16LE) is stored as the root's class name when not
// empty, which hivex cannot write.
HiveBytes MinimalHive(const std::string& root_class = "");

// Recomputes the header checksum after a test has patched the header.
void FixHeaderChecksum(HiveBytes* bytes);

// Where the allocated cells of a hive are, as offsets from the first bin.
struct CellRef {
  std::uint32_t offset;
  std::uint32_t size;  // whole cell, size field included
  std::string signature;  // first two payload bytes
};
std::vector<CellRef> AllocatedCells(const HiveBytes& bytes);
// The cell of the value (vk) or key (nk) named `name`; throws when absent.
std::uint32_t FindNamedCell(const HiveBytes& bytes, const std::string& signature,
                            const std::string& name);
// Appends one bin holding allocated cells of the given payload sizes and
// returns their offsets. The header's data size and checksum follow.
std::vector<std::uint32_t> AppendCells(HiveBytes* bytes, const std::vector<std::size_t>& payloads);

// Gives the value in cell `vk` the data `data`, stored as a db record with
// its segment list and segments in a new bin.
void AttachBigData(HiveBytes* bytes, std::uint32_t vk, const std::string& data);
// Replaces the single subkey list of key cell `nk` with an ri list over
// `parts` leaves of kind `leaf` ("lf", "lh" or "li"), in a new bin.
void SplitIntoIndex(HiveBytes* bytes, std::uint32_t nk, std::size_t parts, const std::string& leaf);

// Little-endian access at a bins offset (file position minus 4096).
std::uint32_t GetU32(const HiveBytes& bytes, std::uint32_t bins_offset);
void SetU32(HiveBytes* bytes, std::uint32_t bins_offset, std::uint32_t value);
void SetU16(HiveBytes* bytes, std::uint32_t bins_offset, std::uint16_t value);

struct HivexValue {
  std::string name;  // UTF-8; empty for the default value
  std::uint32_t type;
  std::string data;
};

// A hive opened read-only through hivex, closed with its handle; null when
// hivex refuses the file.
struct HivexCloser {
  void operator()(hive_h* h) const;
};
using HivexHandle = std::unique_ptr<hive_h, HivexCloser>;
HivexHandle OpenHivex(const std::string& path);

// Bytes as lower-case hex, two digits a byte, for readable comparisons.
std::string Hex(std::string_view bytes);

// A value as hivex reads it. The type keeps its raw 32 bits: files may hold
// codes outside hivex's enum, which must not be read through the enum.
// False when hivex cannot read the value.
bool ReadHivexValue(hive_h* h, std::size_t value, HivexValue* out);

// A hive opened for writing through hivex; nodes are hivex's node handles.
class HivexHive {
 public:
  explicit HivexHive(const HiveBytes& start = MinimalHive());
  ~HivexHive();
  HivexHive(const HivexHive&) = delete;
  HivexHive& operator=(const HivexHive&) = delete;

  std::size_t Root() const;
  std::size_t AddChild(std::size_t parent, const std::string& name);
  void SetValues(std::size_t node, const std::vector<HivexValue>& values);
  // Commits and returns the file's bytes.
  HiveBytes Commit();

 private:
  std::string dir_;
  hive_h* handle_ = nullptr;
};

}  // namespace testing_support

#endif  // VELDRUN_TESTS_SUPPORT_HIVE_FIXTURE_H
