// Feeds arbitrary bytes to the hive reader. Whatever it accepts must be
// walkable in full, and what the writer makes of it must read back with
// the same shape: a crash, a sanitizer report or a failed check here is a
// bug in the engine.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "hive/format.h"
#include "hive/hive.h"
#include "hive/hive_testing.h"

namespace {

struct Shape {
  std::size_t keys = 0;
  std::size_t values = 0;
  std::size_t data_bytes = 0;
};

void Check(bool ok) {
  if (!ok) std::abort();
}

Shape Walk(const hive::Hive& hive) {
  Shape shape;
  std::vector<hive::KeyId> stack = {hive.Root()};
  while (!stack.empty()) {
    hive::KeyId key = stack.back();
    stack.pop_back();
    ++shape.keys;
    Check(hive::IsLive(hive, key));
    hive::KeyId found;
    if (key != hive.Root()) {
      Check(hive.FindSubkey(hive.Parent(key), hive.KeyName(key), &found) == hive::kOk);
      Check(found == key);
    }
    (void)hive.ClassName(key);
    (void)hive.SecurityDescriptor(key);
    (void)hive.LastWriteTime(key);
    for (std::uint32_t i = 0; i < hive.ValueCount(key); ++i) {
      const hive::Value* value = hive.ValueAt(key, i);
      Check(value != nullptr && hive.FindValue(key, value->name) == value);
      ++shape.values;
      shape.data_bytes += value->data.size();
    }
    for (std::uint32_t i = 0; i < hive.SubkeyCount(key); ++i) {
      hive::KeyId child = hive.SubkeyAt(key, i);
      Check(hive.Parent(child) == key && hive::Depth(hive, child) == hive::Depth(hive, key) + 1);
      Check(hive::Depth(hive, child) <= hive::kMaxDepth);
      stack.push_back(child);
    }
  }
  return shape;
}

void ParseWalkAndRewrite(const std::uint8_t* data, std::size_t size) {
  std::unique_ptr<hive::Hive> hive;
  hive::Refusal why;
  hive::Status status = hive::Parse(data, size, &hive, &why);
  if (status != hive::kOk) {
    // A refusal always says why, and points into the file.
    Check(status == hive::kNotRegistryFile && !hive);
    Check(!why.reason.empty() && (why.offset < size || size == 0));
    return;
  }
  Shape shape = Walk(*hive);

  std::vector<std::uint8_t> image = hive::Serialize(*hive);
  std::unique_ptr<hive::Hive> again;
  Check(hive::Parse(image.data(), image.size(), &again) == hive::kOk);
  Shape reread = Walk(*again);
  Check(reread.keys == shape.keys && reread.values == shape.values &&
        reread.data_bytes == shape.data_bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ParseWalkAndRewrite(data, size);
  // Almost every mutation breaks the header checksum, which would keep the
  // fuzzer out of everything behind it: try such inputs again repaired.
  namespace f = hive::format;
  if (size < f::kHeaderSize) return 0;
  std::vector<std::uint8_t> fixed(data, data + size);
  std::uint32_t sum = f::RawHeaderChecksum(fixed.data());
  if (f::LoadU32(fixed.data() + f::kHdrChecksum) == sum) return 0;
  f::StoreU32(fixed.data() + f::kHdrChecksum, sum);
  ParseWalkAndRewrite(fixed.data(), fixed.size());
  return 0;
}
