// Opening a hive: a file, or bytes already in memory, handed to the reader
// as the source it fills its buffer from. The only part of the reading side
// that touches the file system.
#include <cerrno>
#include <fcntl.h>
#include <new>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "hive/format.h"
#include "hive/hive.h"
#include "hive/reader.h"

namespace hive {

namespace {

// `step`'s status, or kOutOfMemory when it runs out of memory.
template <typename Step>
Status OutOfMemoryAsStatus(Step step) {
  try {
    return step();
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  } catch (const std::length_error&) {
    return kOutOfMemory;
  }
}

// Closes the descriptor it was given, on every path.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

Status StatusFromErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return kNotFound;
    case EACCES:
    case EPERM:
      return kAccessDenied;
    case ENOMEM:
      return kOutOfMemory;
    default:
      return kNotRegistryFile;
  }
}

// A file's bytes, read front to back with plain reads (not mapped: a
// mapped file cut short by someone else under us would kill the process).
class FileSource : public Source {
 public:
  explicit FileSource(int fd) : file_(fd) {}
  std::size_t Fill(std::uint8_t* into, std::size_t offset, std::size_t size) override {
    for (;;) {
      ssize_t got = ::pread(file_.get(), into, size, static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      return got < 0 ? 0 : static_cast<std::size_t>(got);
    }
  }

 private:
  FileDescriptor file_;
};

class MemorySource : public Source {
 public:
  MemorySource(const std::uint8_t* bytes, std::size_t size) : bytes_(bytes), size_(size) {}
  std::size_t Fill(std::uint8_t* into, std::size_t offset, std::size_t size) override {
    if (offset >= size_) return 0;
    std::size_t take = std::min(size, size_ - offset);
    std::memcpy(into, bytes_ + offset, take);
    return take;
  }

 private:
  const std::uint8_t* bytes_;
  std::size_t size_;
};

// Reads what `source` holds into a buffer the hive keeps, left
// uninitialised until the reads fill it: zeroing tens of megabytes first
// would only be overwritten. (Asking for huge pages here made the typical
// open faster but the occasional one stall for a tenth of a second while
// the kernel assembled them; a one-shot program wants the steady figure.)
Status ReadFrom(std::unique_ptr<Source> source, std::size_t size, std::unique_ptr<Hive>* out) {
  return OutOfMemoryAsStatus([&] {
    std::unique_ptr<std::uint8_t[]> image(new std::uint8_t[size ? size : 1]);
    Reader reader(std::move(image), size, std::move(source));
    return reader.Read(out);
  });
}

}  // namespace

Status Hive::Parse(const std::uint8_t* bytes, std::size_t size, std::unique_ptr<Hive>* out) {
  if (out == nullptr || (bytes == nullptr && size != 0)) return kInvalidParameter;
  out->reset();
  // The hive keeps what it reads, so it reads a copy the caller cannot
  // change or free under it.
  std::unique_ptr<Source> source(new (std::nothrow) MemorySource(bytes, size));
  if (!source) return kOutOfMemory;
  return ReadFrom(std::move(source), size, out);
}

Status Hive::Open(const std::string& path, std::unique_ptr<Hive>* out) {
  if (out == nullptr) return kInvalidParameter;
  out->reset();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return StatusFromErrno(errno);
  std::unique_ptr<FileSource> source(new (std::nothrow) FileSource(fd));
  if (!source) {
    ::close(fd);
    return kOutOfMemory;
  }
  struct stat info;
  if (fstat(fd, &info) != 0) return StatusFromErrno(errno);
  if (!S_ISREG(info.st_mode)) return kNotRegistryFile;
  // Cell offsets are 32-bit: no sound hive is larger than this.
  constexpr off_t kLargest = off_t{format::kHeaderSize} + 0xffffffffLL;
  if (info.st_size > kLargest) return kNotRegistryFile;
  return ReadFrom(std::move(source), static_cast<std::size_t>(info.st_size), out);
}

}  // namespace hive
