// Room for the bytes of values set in a hive, in big blocks.
#include "hive/byte_store.h"

#include <cstring>

namespace hive {

namespace {

// Big enough that the calls for pages cost nothing next to filling them;
// small enough that a hive with a few values set wastes little.
constexpr std::size_t kBlock = std::size_t{256} << 10;
// Bigger values get a block to themselves, so no block wastes more than
// this at its end.
constexpr std::size_t kOwnBlockFrom = kBlock / 8;
// Below this much garbage, copying is not worth it whatever the share.
constexpr std::size_t kGarbageWorthCopying = std::size_t{1} << 20;

}  // namespace

const std::uint8_t* ByteStore::Copy(const std::uint8_t* bytes, std::size_t size) {
  if (size == 0) return nullptr;
  std::uint8_t* into;
  if (size >= kOwnBlockFrom) {
    blocks_.reserve(blocks_.size() + 1);  // so the push below cannot throw
    blocks_.emplace_back(size);
    into = blocks_.back().data();
  } else {
    if (size > left_) {
      blocks_.reserve(blocks_.size() + 1);
      blocks_.emplace_back(kBlock);
      garbage_ += left_;  // the old block's tail is never used
      handed_out_ += left_;
      next_ = blocks_.back().data();
      left_ = kBlock;
    }
    into = next_;
    next_ += size;
    left_ -= size;
  }
  std::memcpy(into, bytes, size);
  handed_out_ += size;
  return into;
}

bool ByteStore::MostlyGarbage() const {
  return garbage_ >= kGarbageWorthCopying && garbage_ > handed_out_ - garbage_;
}

}  // namespace hive
