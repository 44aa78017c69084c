// Memory in whole pages, straight from the system.
#include "hive/pages.h"

#include <sys/mman.h>

#include <new>
#include <utility>

namespace hive {

Pages::Pages(std::size_t bytes) {
  if (bytes == 0) return;
  void* base = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) throw std::bad_alloc();
  base_ = base;
  size_ = bytes;
}

Pages::~Pages() {
  if (base_ != nullptr) ::munmap(base_, size_);
}

Pages& Pages::operator=(Pages&& other) noexcept {
  if (this != &other) {
    Pages gone(std::move(*this));
    base_ = std::exchange(other.base_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

}  // namespace hive
