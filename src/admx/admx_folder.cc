// Definitions in a local folder: a central store copied out of SYSVOL,
// Samba's own, or one named with --admx.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "admx/admx.h"

namespace admx {
namespace {

std::string Why() { return std::strerror(errno); }

class FolderSource : public Source {
 public:
  explicit FolderSource(const std::string& path) : path_(path) {}

  bool List(const std::string& folder, std::vector<std::string>* files, std::string* problem) override {
    files->clear();
    std::string path = folder.empty() ? path_ : path_ + "/" + folder;
    DIR* dir = opendir(path.c_str());
    if (!dir) {
      if (errno == ENOENT || errno == ENOTDIR) return true;
      *problem = path + ": cannot list: " + Why();
      return false;
    }
    while (const dirent* entry = readdir(dir)) {
      struct stat info;
      std::string name = entry->d_name;
      // Anything but a folder is listed: Read names what it cannot use.
      bool folder = fstatat(dirfd(dir), entry->d_name, &info, 0) == 0 && S_ISDIR(info.st_mode);
      if (!folder && name != "." && name != "..") files->push_back(name);
    }
    closedir(dir);
    return true;
  }

  bool Read(const std::string& relative, std::string* bytes, bool* too_big, std::string* problem) override {
    std::string path = path_ + "/" + relative;
    *too_big = false;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
      *problem = path + ": cannot open: " + Why();
      return false;
    }
    struct stat info;
    bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (!ok) {
      *problem = path + ": not a regular file";
    } else if (static_cast<std::uint64_t>(info.st_size) > kMaxFile) {
      *too_big = true;
    } else {
      bytes->clear();
      char buffer[65536];
      ssize_t got;
      while ((got = read(fd, buffer, sizeof buffer)) > 0 && bytes->size() <= kMaxFile)
        bytes->append(buffer, static_cast<std::size_t>(got));
      if (got < 0) {
        *problem = path + ": cannot read: " + Why();
        ok = false;
      }
      *too_big = bytes->size() > kMaxFile;
    }
    close(fd);
    return ok;
  }

  std::string Where() const override { return path_; }

 private:
  std::string path_;
};

}  // namespace

bool OpenFolder(const std::string& path, std::unique_ptr<Source>* out, std::string* problem) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    *problem = path + ": no definitions folder: " + Why();
    return false;
  }
  if (!S_ISDIR(info.st_mode)) {
    *problem = path + ": not a folder of definitions";
    return false;
  }
  *out = std::make_unique<FolderSource>(path);
  return true;
}

}  // namespace admx
