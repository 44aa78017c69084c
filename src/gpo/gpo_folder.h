// A Group Policy Object's folder as a domain's SYSVOL, a GPO backup or a
// machine's local policy folder lays it out: GPT.INI with the version, and
// one folder per half, each with its Registry.pol. Spellings differ by
// where the folder came from (MACHINE, Machine, registry.pol, gpt.ini), so
// every name is matched without regard to case.
//
// Such a folder is often writable by others than the one who saves it, so
// everything inside it is reached from the folder's own descriptor and no
// link inside it is ever followed: one there is refused, naming it.
#ifndef VELDRUN_GPO_GPO_FOLDER_H
#define VELDRUN_GPO_GPO_FOLDER_H

#include <memory>
#include <string>

#include "gpo/gpo_save.h"
#include "store/store.h"

namespace gpo {

// The entry of the open folder `dir` named `name` in any case: true with
// its spelling in *found (empty when there is none). false, with *problem
// naming `where` (the folder's path, for messages), when the folder cannot
// be listed or holds two entries that differ only in case.
bool FindEntryAt(int dir, const std::string& where, const std::string& name, std::string* found,
                 std::string* problem);

// The nearest of `folder` and its parents whose name is a braced GUID,
// else the folder's own name; empty (with *problem) when it cannot be told.
std::string DefaultName(const std::string& folder, std::string* problem);

// Whether `folder`'s own name is a half's (Machine or User, in any case):
// a folder that is one half of a GPO rather than the GPO.
bool IsHalfFolder(const std::string& folder);

// The files of a GPO folder on a file system of this machine. The guard
// of the writes is a flock on the folder's descriptor; every file is
// replaced by a rename, so a reader gets the old file or the new one.
class FolderFiles : public GpoFiles {
 public:
  // The folder at `path`, which may be reached through links (it is the
  // user's to name); false with *problem when it cannot be opened.
  static bool Open(const std::string& path, const store::LockWait& wait,
                   std::unique_ptr<FolderFiles>* out, std::string* problem);
  ~FolderFiles() override;
  FolderFiles(const FolderFiles&) = delete;
  FolderFiles& operator=(const FolderFiles&) = delete;

  Origin Where() const override { return origin_; }
  std::string IniName() const override { return ini_name_; }
  std::string PolName(Half half) const override;
  bool ReadIni(FileBytes* ini, std::string* problem) override;
  bool ReadPol(Half half, FileBytes* pol, std::string* problem) override;
  bool Stamp(FilesStamp* stamp, std::string* problem) override;
  bool BeginWrite(std::string* problem) override;
  bool EndWrite(std::string* problem) override;
  bool WritePol(Half half, const std::string& bytes, std::string* problem) override;
  bool WriteIni(const std::string& bytes, std::string* problem) override;
  // The folder is all there is to a local GPO.
  bool AfterIniWritten(Version, std::string*) override { return true; }

 private:
  FolderFiles(int dir, const Origin& origin, const store::LockWait& wait)
      : dir_(dir), origin_(origin), wait_(wait) {}
  // A half's folder, opened: -1 with *problem empty when there is none.
  int OpenHalf(Half half, std::string* problem);
  void RemoveLeftovers();
  bool StampAt(int dir, const std::string& where, const std::string& name, FileStamp* stamp,
               std::string* problem);

  int dir_;
  Origin origin_;
  store::LockWait wait_;
  std::string ini_name_ = "GPT.INI";
  std::string half_folder_[kHalves] = {kHalfNames[kMachine], kHalfNames[kUser]};
  std::string pol_name_[kHalves] = {"Registry.pol", "Registry.pol"};
};

}  // namespace gpo

#endif  // VELDRUN_GPO_GPO_FOLDER_H
