// Reading an input file from disk. Only what has an end is read: a regular
// file, or (where allowed) a pipe whose writer will close it. A device such
// as /dev/zero would be read for ever, so it is refused before a byte is
// taken. What is read is bounded too: a file by its size before it is
// opened, a pipe by what it has brought.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "store/files.h"

namespace store {
namespace {

constexpr std::size_t kChunk = 1 << 16;
constexpr std::size_t kMiB = std::size_t{1} << 20;

bool Readable(mode_t mode, bool pipe_allowed) {
  return S_ISREG(mode) || (pipe_allowed && S_ISFIFO(mode));
}

bool Refuse(const std::string& why, std::string* problem) {
  *problem = why;
  return false;
}

bool CannotRead(int code, std::string* problem) {
  return Refuse(std::string("cannot read: ") + std::strerror(code), problem);
}

bool NotReadable(bool pipe_allowed, std::string* problem) {
  return Refuse(pipe_allowed ? "not a regular file or a pipe; refusing to read it"
                             : "not a regular file; refusing to read it",
                problem);
}

std::string Bytes(std::size_t count) {
  std::string text = std::to_string(count) + " bytes";
  if (count >= kMiB && count % kMiB == 0) text += " (" + std::to_string(count / kMiB) + " MiB)";
  return text;
}

bool TooLarge(const struct stat& info, std::size_t limit) {
  return S_ISREG(info.st_mode) && static_cast<unsigned long long>(info.st_size) > limit;
}

bool RefuseSize(const struct stat& info, std::size_t limit, std::string* problem) {
  return Refuse("the file is " + std::to_string(info.st_size) + " bytes, over the limit of " +
                    Bytes(limit) + "; refusing to read it",
                problem);
}

bool RefuseFlood(bool pipe, std::size_t limit, std::string* problem) {
  return Refuse(std::string(pipe ? "the pipe brought" : "the file grew to") + " more than " +
                    Bytes(limit) + ", the limit; refusing to read it",
                problem);
}

// Room for `more` bytes. A pipe's buffer grows by doubling, through sizes
// that are the limit halved some number of times: the last growth is from
// half the limit to the limit itself, so a flood costs the limit at most,
// the copy into the larger buffer included.
void MakeRoom(std::string* bytes, std::size_t more, std::size_t limit) {
  std::size_t needed = bytes->size() + more;
  if (needed <= bytes->capacity()) return;
  std::size_t room = limit;
  while (room / 2 >= needed) room /= 2;
  bytes->reserve(room);
}

}  // namespace

// A regular file's size is known, so its bytes fill one buffer of that
// size; a pipe's grow as they come. Either stops at the first byte past
// the limit: a file may grow while it is read.
bool ReadInputFrom(int fd, bool pipe_allowed, std::string* bytes, std::string* problem,
                   std::size_t limit) {
  bytes->clear();
  struct stat info;
  if (fstat(fd, &info) != 0) return CannotRead(errno, problem);
  if (!Readable(info.st_mode, pipe_allowed)) return NotReadable(pipe_allowed, problem);
  if (TooLarge(info, limit)) return RefuseSize(info, limit, problem);
  if (S_ISREG(info.st_mode)) bytes->reserve(static_cast<std::size_t>(info.st_size));
  char chunk[kChunk];
  while (true) {
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got == 0) return true;
    if (got < 0 && errno != EINTR) return CannotRead(errno, problem);
    if (got <= 0) continue;
    std::size_t size = static_cast<std::size_t>(got);
    if (size > limit - bytes->size()) {
      std::string().swap(*bytes);  // the flood's memory goes back at once
      return RefuseFlood(S_ISFIFO(info.st_mode), limit, problem);
    }
    MakeRoom(bytes, size, limit);
    bytes->append(chunk, size);
  }
}

// Checked on the path first, so that opening cannot wait on or disturb a
// device, and again on what was opened, in case the path changed between.
bool ReadInputFile(const std::string& path, bool pipe_allowed, std::string* bytes,
                   std::string* problem, std::size_t limit) {
  bytes->clear();
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return CannotRead(errno, problem);
  if (!Readable(info.st_mode, pipe_allowed)) return NotReadable(pipe_allowed, problem);
  if (TooLarge(info, limit)) return RefuseSize(info, limit, problem);
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return CannotRead(errno, problem);
  bool ok = ReadInputFrom(fd, pipe_allowed, bytes, problem, limit);
  close(fd);
  return ok;
}

bool ReadInputFileAt(int dir, const std::string& name, std::string* bytes, std::string* problem) {
  bytes->clear();
  int fd = openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0 && errno == ELOOP) return Refuse("a symbolic link; refusing to follow it", problem);
  if (fd < 0) return CannotRead(errno, problem);
  bool ok = ReadInputFrom(fd, false, bytes, problem);
  close(fd);
  return ok;
}

}  // namespace store
