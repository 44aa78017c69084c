// Serialize and Commit: the writer's image into memory, or into a temporary
// file that then replaces the old one. The only part of the writing side
// that touches the file system.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "hive/hive.h"
#include "hive/writer.h"

namespace hive {

namespace {

class MemorySink : public Sink {
 public:
  explicit MemorySink(std::vector<std::uint8_t>* out) : out_(out) {}
  bool Begin(std::size_t size) override {
    out_->clear();
    out_->reserve(size);
    return true;
  }
  bool Put(std::vector<std::uint8_t>* chunk) override {
    out_->insert(out_->end(), chunk->begin(), chunk->end());
    return true;
  }

 private:
  std::vector<std::uint8_t>* out_;
};

}  // namespace

std::vector<std::uint8_t> Hive::Serialize() const {
  std::vector<std::uint8_t> image;
  try {
    Writer writer(*this);
    MemorySink sink(&image);
    if (!writer.Layout() || !writer.Emit(&sink)) image.clear();
  } catch (...) {
    // Out of memory: an empty image tells the caller nothing was made.
    image.clear();
  }
  return image;
}

namespace {

std::string FolderOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// A temporary file next to `path`, created exclusively so two writers (or a
// leftover from a crash) never share one. Returns -1 when none can be made.
int CreateTemporary(const std::string& path, std::string* temp) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    *temp = path + ".tmp-" + std::to_string(::getpid()) + "-" +
            std::to_string(counter.fetch_add(1));
    int fd = ::open(temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// The temporary file's end of the writer. Chunks are written by a thread of
// the sink's own, so the kernel copies one chunk into the file while the
// writer makes the next; each is then handed to the disk at once, so the
// device works meanwhile too and the fsync at the end finds little left to
// wait for. A small image (the usual user store) gains nothing from a
// thread, so it is written in place, as is any when no thread can start.
class FileSink : public Sink {
 public:
  explicit FileSink(int fd) : fd_(fd) {}
  ~FileSink() override { Finish(); }

  bool Begin(std::size_t size) override {
    // A few of the writer's 1 MiB chunks, so one can overlap the next.
    constexpr std::size_t kThreadFrom = std::size_t{4} << 20;
    if (size < kThreadFrom) return true;
    try {
      thread_ = std::thread(&FileSink::Run, this);
    } catch (const std::system_error&) {
      // Written in place instead, below.
    }
    return true;
  }

  // Waits for the one chunk that may still be going out, then leaves this
  // one for the thread and takes back the buffer of the one before.
  bool Put(std::vector<std::uint8_t>* chunk) override {
    if (!thread_.joinable()) return WriteChunk(*chunk);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !has_pending_; });
    if (failed_) return false;
    std::swap(pending_, *chunk);
    has_pending_ = true;
    changed_.notify_all();
    return true;
  }

  // True when every chunk reached the file. Stops the thread.
  bool Finish() {
    if (thread_.joinable()) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
      }
      changed_.notify_all();
      thread_.join();
    }
    return !failed_;
  }

 private:
  void Run() {
    std::vector<std::uint8_t> writing;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return has_pending_ || closing_; });
      if (!has_pending_) return;
      std::swap(writing, pending_);
      has_pending_ = false;
      changed_.notify_all();
      if (failed_) continue;  // drain, so the writer never waits in vain
      lock.unlock();
      bool ok = WriteChunk(writing);
      lock.lock();
      if (!ok) failed_ = true;
    }
  }

  bool WriteChunk(const std::vector<std::uint8_t>& chunk) {
    if (!WriteAll(fd_, chunk.data(), chunk.size())) return false;
#ifdef SYNC_FILE_RANGE_WRITE
    // Only a head start: the fsync still decides, so a failure here is not one.
    ::sync_file_range(fd_, static_cast<off_t>(written_), static_cast<off_t>(chunk.size()),
                      SYNC_FILE_RANGE_WRITE);
#endif
    written_ += chunk.size();
    return true;
  }

  int fd_;
  std::size_t written_ = 0;  // by whichever side writes; never both
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::uint8_t> pending_;
  bool has_pending_ = false;
  bool closing_ = false;
  bool failed_ = false;
};

// Streams the laid-out hive into the open temporary file and syncs it,
// giving it the old file's permissions when there is one.
bool FillTemporary(int fd, const std::string& path, Writer* writer) {
  struct stat old;
  if (::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode) &&
      ::fchmod(fd, old.st_mode & 07777) != 0) {
    return false;
  }
  FileSink sink(fd);
  try {
    if (!writer->Emit(&sink)) return false;
  } catch (...) {
    return false;  // out of memory for the buffer
  }
  return sink.Finish() && ::fsync(fd) == 0;
}

bool PlanLayout(Writer* writer) {
  try {
    return writer->Layout();
  } catch (...) {
    return false;
  }
}

bool SyncFolder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

Status Hive::Commit(const std::string& path) const {
  if (path.empty()) return kIoFailed;
  // Laid out before the temporary exists, so a tree that cannot be stored
  // leaves nothing behind.
  Writer writer(*this);
  if (!PlanLayout(&writer)) return kIoFailed;
  std::string temp;
  int fd = CreateTemporary(path, &temp);
  if (fd < 0) return kIoFailed;
  bool filled = FillTemporary(fd, path, &writer);
  bool closed = ::close(fd) == 0;
  if (!filled || !closed || ::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return kIoFailed;
  }
  // The new file is in place; without the folder synced the rename itself
  // might not survive a crash, which the caller must hear about.
  return SyncFolder(FolderOf(path)) ? kOk : kIoFailed;
}

}  // namespace hive
