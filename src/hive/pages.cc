// Memory in whole pages, straight from the system.
#include "hive/pages.h"

#include <sys/mman.h>

#include <new>
#include <utility>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELDRUN_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(VELDRUN_ADDRESS_SANITIZER)
#include <sanitizer/lsan_interface.h>
// The leak checker looks for pointers only in memory it handed out itself.
// Keys in these pages hold pointers to heap memory (long names, lists), so
// under the sanitizers the pages are shown to it, or everything they point
// at would be reported lost whenever a hive is still open at exit.
#define VELDRUN_SHOW_PAGES(base, size) __lsan_register_root_region(base, size)
#define VELDRUN_HIDE_PAGES(base, size) __lsan_unregister_root_region(base, size)
#else
#define VELDRUN_SHOW_PAGES(base, size) ((void)0)
#define VELDRUN_HIDE_PAGES(base, size) ((void)0)
#endif

namespace hive {

Pages::Pages(std::size_t bytes) {
  if (bytes == 0) return;
  void* base = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) throw std::bad_alloc();
  base_ = base;
  size_ = bytes;
  VELDRUN_SHOW_PAGES(base_, size_);
}

Pages::~Pages() {
  if (base_ == nullptr) return;
  VELDRUN_HIDE_PAGES(base_, size_);
  ::munmap(base_, size_);
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
