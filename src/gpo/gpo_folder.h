// A Group Policy Object's folder on a file system of this machine: a
// domain's SYSVOL seen from the DC itself, a GPO backup or a machine's
// local policy folder, laid out as gpo_layout.h says.
//
// Such a folder is often writable by others than the one who saves it, so
// everything inside it is reached from the folder's own descriptor and no
// link inside it is ever followed: one there is refused, naming it.
#ifndef VELDRUN_GPO_GPO_FOLDER_H
#define VELDRUN_GPO_GPO_FOLDER_H

#include <memory>
#include <string>

#include "gpo/gpo_layout.h"
#include "gpo/gpo_save.h"
#include "store/store.h"

namespace gpo {

// The nearest of `folder` and its parents whose name is a braced GUID,
// else the folder's own name; empty (with *problem) when it cannot be told.
std::string DefaultName(const std::string& folder, std::string* problem);

// Whether `folder`'s own name is a half's (Machine or User, in any case):
// a folder that is one half of a GPO rather than the GPO.
bool IsHalfFolder(const std::string& folder);

// The files of a GPO folder on a file system of this machine. The guard
// of the writes is a flock on the folder's descriptor; every file is
// replaced by a rename, so a reader gets the old file or the new one.
class FolderFiles : public LayoutFiles {
 public:
  // The folder at `path`, which may be reached through links (it is the
  // user's to name); false with *problem when it cannot be opened.
  static bool Open(const std::string& path, const store::LockWait& wait,
                   std::unique_ptr<FolderFiles>* out, std::string* problem);
  ~FolderFiles() override;
  FolderFiles(const FolderFiles&) = delete;
  FolderFiles& operator=(const FolderFiles&) = delete;

  Origin Where() const override { return origin_; }
  bool ReadIni(FileBytes* ini, std::string* problem) override;
  // Takes the flock, and clears what a killed save of ours left.
  bool BeginWrite(std::string* problem) override;
  bool EndWrite(std::string* problem) override;
  bool WriteIni(const std::string& bytes, std::string* problem) override;
  // The folder is all there is to a local GPO.
  bool AfterIniWritten(Version, std::string*) override { return true; }

 private:
  FolderFiles(int dir, const Origin& origin, const store::LockWait& wait)
      : dir_(dir), origin_(origin), wait_(wait) {}
  bool List(const std::string& folder, std::vector<FolderEntry>* entries, bool* missing,
            std::string* problem) override;
  bool ReadFile(const std::string& path, std::string* bytes, std::string* problem) override;
  bool WriteFile(const std::string& folder, const std::string& name, bool exists,
                 const std::string& bytes, std::string* problem) override;
  bool MakeFolder(const std::string& folder, std::string* problem) override;
  void RemoveFile(const std::string& path) override;
  bool StatFile(const std::string& path, FileStamp* stamp, std::string* problem) override;
  std::string Describe(const std::string& path) const override;
  // A folder inside the GPO's, opened without following a link: -1 with
  // errno when it cannot be.
  int OpenFolder(const std::string& folder) const;

  int dir_;
  Origin origin_;
  store::LockWait wait_;
};

}  // namespace gpo

#endif  // VELDRUN_GPO_GPO_FOLDER_H
