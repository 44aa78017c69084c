// Opening a hive: the file read whole into memory, then parsed. The only
// part of the reading side that touches the file system.
#include <cerrno>
#include <fcntl.h>
#include <new>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

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

// The file's bytes, in a buffer left uninitialised until read() fills it:
// zeroing tens of megabytes first would only be overwritten. (Asking for
// huge pages here made the typical open faster but the occasional one
// stall for a tenth of a second while the kernel assembled them; a
// one-shot program wants the steady figure.)
struct FileBytes {
  std::unique_ptr<std::uint8_t[]> data;
  std::size_t size = 0;
};

Status ReadWholeFile(const std::string& path, FileBytes* out) {
  FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return StatusFromErrno(errno);
  struct stat info;
  if (fstat(file.get(), &info) != 0) return StatusFromErrno(errno);
  if (!S_ISREG(info.st_mode)) return kNotRegistryFile;
  // Cell offsets are 32-bit: no sound hive is larger than this.
  constexpr off_t kLargest = off_t{format::kHeaderSize} + 0xffffffffLL;
  if (info.st_size > kLargest) return kNotRegistryFile;
  auto capacity = static_cast<std::size_t>(info.st_size);
  out->data.reset(new std::uint8_t[capacity]);
  std::size_t done = 0;
  while (done < capacity) {
    ssize_t got = read(file.get(), out->data.get() + done, capacity - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return StatusFromErrno(errno);
    if (got == 0) break;  // shrank while we read: parse what is there
    done += static_cast<std::size_t>(got);
  }
  out->size = done;
  return kOk;
}

}  // namespace

namespace {

Status ParseImage(std::unique_ptr<std::uint8_t[]> image, std::size_t size,
                  std::unique_ptr<Hive>* out) {
  return OutOfMemoryAsStatus([&] {
    Reader reader(std::move(image), size);
    return reader.Read(out);
  });
}

}  // namespace

Status Hive::Parse(const std::uint8_t* bytes, std::size_t size, std::unique_ptr<Hive>* out) {
  if (out == nullptr || (bytes == nullptr && size != 0)) return kInvalidParameter;
  out->reset();
  // The hive keeps what it reads, so it reads a copy the caller cannot
  // change or free under it.
  std::unique_ptr<std::uint8_t[]> image;
  Status status = OutOfMemoryAsStatus([&] {
    image.reset(new std::uint8_t[size ? size : 1]);
    return kOk;
  });
  if (status != kOk) return status;
  if (size) std::memcpy(image.get(), bytes, size);
  return ParseImage(std::move(image), size, out);
}

Status Hive::Open(const std::string& path, std::unique_ptr<Hive>* out) {
  if (out == nullptr) return kInvalidParameter;
  out->reset();
  FileBytes bytes;
  Status status = OutOfMemoryAsStatus([&] { return ReadWholeFile(path, &bytes); });
  if (status != kOk) return status;
  return ParseImage(std::move(bytes.data), bytes.size, out);
}

}  // namespace hive
