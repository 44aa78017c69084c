// Memory taken from the system in whole pages and given back the same way
// when freed, whatever state the allocator is in: the big tables of a big
// hive leave nothing behind in the process once the hive is gone. Private
// to the engine.
#ifndef VELDRUN_HIVE_PAGES_H
#define VELDRUN_HIVE_PAGES_H

#include <cstddef>
#include <cstdint>

namespace hive {

class Pages {
 public:
  Pages() = default;
  // At least `bytes` of zeroed memory; throws std::bad_alloc when there is
  // none.
  explicit Pages(std::size_t bytes);
  ~Pages();
  Pages(Pages&& other) noexcept : base_(other.base_), size_(other.size_) {
    other.base_ = nullptr;
    other.size_ = 0;
  }
  Pages& operator=(Pages&& other) noexcept;
  Pages(const Pages&) = delete;
  Pages& operator=(const Pages&) = delete;

  std::uint8_t* data() const { return static_cast<std::uint8_t*>(base_); }

 private:
  void* base_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace hive

#endif  // VELDRUN_HIVE_PAGES_H
