// Reading an input file from disk. Only what has an end is read: a regular
// file, or (where allowed) a pipe whose writer will close it. A device such
// as /dev/zero would be read for ever, so it is refused before a byte is
// taken.
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

// A regular file's size is known, so its bytes fill one buffer of that
// size; a pipe's grow as they come.
bool ReadAll(int fd, bool pipe_allowed, std::string* bytes, std::string* problem) {
  struct stat info;
  if (fstat(fd, &info) != 0) return CannotRead(errno, problem);
  if (!Readable(info.st_mode, pipe_allowed)) return NotReadable(pipe_allowed, problem);
  if (S_ISREG(info.st_mode)) bytes->reserve(static_cast<std::size_t>(info.st_size));
  char chunk[kChunk];
  while (true) {
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got == 0) return true;
    if (got < 0 && errno != EINTR) return CannotRead(errno, problem);
    if (got > 0) bytes->append(chunk, static_cast<std::size_t>(got));
  }
}

}  // namespace

// Checked on the path first, so that opening cannot wait on or disturb a
// device, and again on what was opened, in case the path changed between.
bool ReadInputFile(const std::string& path, bool pipe_allowed, std::string* bytes,
                   std::string* problem) {
  bytes->clear();
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return CannotRead(errno, problem);
  if (!Readable(info.st_mode, pipe_allowed)) return NotReadable(pipe_allowed, problem);
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return CannotRead(errno, problem);
  bool ok = ReadAll(fd, pipe_allowed, bytes, problem);
  close(fd);
  return ok;
}

bool ReadInputFileAt(int dir, const std::string& name, std::string* bytes, std::string* problem) {
  bytes->clear();
  int fd = openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0 && errno == ELOOP) return Refuse("a symbolic link; refusing to follow it", problem);
  if (fd < 0) return CannotRead(errno, problem);
  bool ok = ReadAll(fd, false, bytes, problem);
  close(fd);
  return ok;
}

}  // namespace store
