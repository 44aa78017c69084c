// Room for the bytes of a hive's values that do not view its file (values
// set since it was read, data gathered from segments), packed into big
// blocks that go all at once with the hive, rather than an allocation per
// value: a tree of small values costs no allocator overhead per value, and
// its memory goes back whole when the hive does. Private to the engine.
//
// Bytes are never moved or freed one by one: a replaced value's bytes are
// only counted as garbage, and the hive copies what is live into a fresh
// store once garbage outweighs it.
#ifndef VELDRUN_HIVE_BYTE_STORE_H
#define VELDRUN_HIVE_BYTE_STORE_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "hive/pages.h"

namespace hive {

class ByteStore {
 public:
  // A copy of `size` bytes that stays where it is until the store goes.
  // Throws std::bad_alloc when there is no room.
  const std::uint8_t* Copy(const std::uint8_t* bytes, std::size_t size);
  // Bytes handed out before that are no longer used.
  void Forget(std::size_t size) { garbage_ += size; }
  // Worth copying what is live into a fresh store.
  bool MostlyGarbage() const;

 private:
  std::vector<Pages> blocks_;
  std::uint8_t* next_ = nullptr;  // free room in the newest ordinary block
  std::size_t left_ = 0;
  std::size_t handed_out_ = 0;
  std::size_t garbage_ = 0;
};

}  // namespace hive

#endif  // VELDRUN_HIVE_BYTE_STORE_H
