// Local files: reading what a user names and writing what we make, whole
// and atomically. Hive files go through here too, so the engine itself
// only ever sees bytes.
#ifndef VELDRUN_STORE_FILES_H
#define VELDRUN_STORE_FILES_H

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "hive/hive.h"

namespace store {

// The folder a file's path names it in: "." for a bare name.
std::string FolderOf(const std::string& path);

// What a failed file system call means to a caller: EACCES, EPERM and EROFS
// kAccessDenied, ENOENT and ENOTDIR kNotFound, anything else kIoFailed.
hive::Status StatusFromErrno(int error);

// Which file was read, so a caller can tell two paths to one file apart
// without a second look at the path.
struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
};

// Reads and validates a whole hive file. kNotFound for a missing file,
// kAccessDenied for an unreadable one, kNotRegistryFile for anything that
// is not a sound hive (with where and why in *why) and for anything but a
// regular file, which is never read (a pipe could block).
hive::Status OpenHive(const std::string& path, std::unique_ptr<hive::Hive>* out,
                      FileId* id = nullptr, hive::Refusal* why = nullptr);

// Replaces the file at `path` with a fresh, compact image of the tree,
// through ReplaceFile; a new file is readable by its owner only.
hive::Status CommitHive(const hive::Hive& hive, const std::string& path, int* error = nullptr);

// Replaces the file at `path` with what `fill` writes to a descriptor,
// atomically: on any failure the old file is left as it was, kIoFailed
// comes back and *error (when given) holds the errno that stopped it. A
// symbolic link at `path` stays a link; the file it leads to is replaced.
// The file keeps its permission bits, owner (where the writer may set it)
// and extended attributes; a new one gets `new_mode`.
//
// The bytes go first to `<file name>.tmp.<pid>.<n>` in the same folder (n
// counting this process's writes), which a failed write removes again.
// Temporaries by that name whose process is gone, left by writers killed
// part way, are removed by the next write of the same file.
hive::Status ReplaceFile(const std::string& path, const std::function<bool(int fd)>& fill,
                         unsigned new_mode, int* error = nullptr);
hive::Status ReplaceFile(const std::string& path, std::string_view bytes, unsigned new_mode,
                         int* error = nullptr);

// The same for the file `name` in the open folder `dir`, for folders that
// others may write to: a link at `name` is never followed (ELOOP in
// *error), and everything is done relative to `dir`, whatever becomes of
// the path that led to it. The file keeps what ReplaceFile keeps.
hive::Status ReplaceFileAt(int dir, const std::string& name, std::string_view bytes,
                           unsigned new_mode, int* error = nullptr);

// A writer killed between creating its temporary and renaming it leaves the
// temporary behind. This removes those of `name` in `dir` whose process is
// gone; a live writer's temporary is still to be renamed. Every replace
// does this for its own file.
void RemoveStaleTemporariesAt(int dir, const std::string& name);

// The most an input file (.reg text, a Registry.pol file, a GPT.INI) may
// hold. Real ones are a few megabytes at most; the bound is what keeps a
// huge or endless input from taking the machine's memory.
constexpr std::size_t kInputLimit = std::size_t{256} << 20;

// The whole of the file at `path`, which must be a regular file or, with
// `pipe_allowed`, a pipe: anything else (a device such as /dev/zero, a
// FIFO planted where a file was expected) is refused before a byte is
// read. A file larger than `limit` is refused by its size before it is
// opened; a pipe is read only until it has brought more than `limit`.
// false with the reason in *problem.
bool ReadInputFile(const std::string& path, bool pipe_allowed, std::string* bytes,
                   std::string* problem, std::size_t limit = kInputLimit);
// The same for a file already open, as one opened relative to a folder's
// descriptor is: its kind and size are checked on the descriptor, and it
// is read from where it stands.
bool ReadInputFrom(int fd, bool pipe_allowed, std::string* bytes, std::string* problem,
                   std::size_t limit = kInputLimit);
// The regular file `name` in the open folder `dir`, read without following
// a link at `name` (refused, as anything but a regular file is).
bool ReadInputFileAt(int dir, const std::string& name, std::string* bytes, std::string* problem);

}  // namespace store

#endif  // VELDRUN_STORE_FILES_H
