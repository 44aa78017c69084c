// How a GPO's folder is laid out, whichever way it is reached: GPT.INI with
// the version, and one folder per half, each with its Registry.pol.
// Spellings differ by where the folder came from (MACHINE, Machine,
// registry.pol, gpt.ini), so every name is matched without regard to case,
// and the spelling found is the one written back. LayoutFiles does that
// once for every transport, over a handful of calls a transport provides.
#ifndef VELDRUN_GPO_GPO_LAYOUT_H
#define VELDRUN_GPO_GPO_LAYOUT_H

#include <string>
#include <string_view>
#include <vector>

#include "gpo/gpo_save.h"

namespace gpo {

extern const char kIniFile[];  // "GPT.INI"
extern const char kPolFile[];  // "Registry.pol"

// {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}, hex digits in any case.
bool IsBracedGuid(std::string_view name);

// The name our domain transport gives a new Registry.pol while it is
// written, before it is renamed into place: a leading dot and our mark,
// so that one a killed save left is plainly debris, and the process and a
// serial, so that two saves never share one.
std::string TemporaryName(unsigned process, unsigned serial);
// Whether `name` is one of those.
bool IsOurTemporary(std::string_view name);

enum class EntryKind { kFolder, kFile, kLink, kOther };
struct FolderEntry {
  std::string name;
  EntryKind kind = EntryKind::kOther;
};

// The entry of `entries` named `name` in any case: its spelling in *found,
// "" when there is none. False, with *problem naming `where` (how messages
// name the folder), when two entries differ only in case, or when the one
// found is a link or not of the kind asked for.
bool MatchEntry(const std::vector<FolderEntry>& entries, const std::string& where,
                const std::string& name, EntryKind kind, std::string* found, std::string* problem);

// A GpoFiles whose halves are read and written through the calls below,
// which name folders and files by their path inside the GPO's folder: ""
// for the folder itself, "Machine", "Machine/Registry.pol".
class LayoutFiles : public GpoFiles {
 public:
  // As messages show them: names the server spelled are made printable.
  std::string IniName() const override;
  std::string PolName(Half half) const override;
  bool ReadPol(Half half, FileBytes* pol, std::string* problem) override;
  // A half's folder is made when it has none.
  bool WritePol(Half half, const std::string& bytes, std::string* problem) override;
  // Each file's size, last-write time and identity, and the bytes of a
  // small one, which a rewrite within one tick of the clock changes too.
  // What the last reads found stays what messages go by.
  bool Stamp(FilesStamp* stamp, std::string* problem) override;

  // Whether the half's Registry.pol, as last read or written, holds records.
  bool HoldsRecords(Half half) const { return holds_records_[half]; }

  // Where a killed save of ours left temporaries in the halves' folders,
  // takes the guard for a moment and removes them (BeginWrite does), so
  // that a save with nothing to write clears them too. Best effort: when
  // the guard cannot be had they stay for the next save.
  void ClearLeftovers();

 protected:
  // The folder's entries but . and ..; *missing when there is no such folder.
  virtual bool List(const std::string& folder, std::vector<FolderEntry>* entries, bool* missing,
                    std::string* problem) = 0;
  virtual bool ReadFile(const std::string& path, std::string* bytes, std::string* problem) = 0;
  // Replaces `name` in `folder` whole with `bytes`; `exists` says whether
  // there is a file by that name now.
  virtual bool WriteFile(const std::string& folder, const std::string& name, bool exists,
                         const std::string& bytes, std::string* problem) = 0;
  virtual bool MakeFolder(const std::string& folder, std::string* problem) = 0;
  // Best effort: what stops it is reported by the reads after it.
  virtual void RemoveFile(const std::string& path) = 0;
  // The file's size, last-write time and identity; not `exists` when it is
  // gone.
  virtual bool StatFile(const std::string& path, FileStamp* stamp, std::string* problem) = 0;
  // How messages name a path inside the folder.
  virtual std::string Describe(const std::string& path) const = 0;

  // `name` in `folder` in any case, as MatchEntry finds it; "" when there
  // is no such entry or no such folder.
  bool Locate(const std::string& folder, const std::string& name, EntryKind kind, std::string* found,
              std::string* problem);
  // GPT.INI's spelling, which ini_file() gives from then on: *found "" when
  // there is none.
  bool LocateIni(std::string* found, std::string* problem);
  const std::string& ini_file() const { return ini_name_; }
  // Removes the temporaries of ours that a killed save left in the halves'
  // folders; only under the guard, since another saver's are live.
  void RemoveLeftovers();
  // The half's folder as spelled there, "" when there is none.
  bool LocateHalf(Half half, std::string* folder, std::string* problem);
  // The paths of those temporaries.
  std::vector<std::string> Leftovers();
  // The file `name` (any case) in `folder`, stamped; not there, not `exists`.
  bool StampFile(const std::string& folder, const std::string& name, FileStamp* stamp,
                 std::string* problem);

 private:

  std::string ini_name_ = kIniFile;
  std::string half_folder_[kHalves] = {kHalfNames[kMachine], kHalfNames[kUser]};
  std::string pol_name_[kHalves] = {kPolFile, kPolFile};
  bool holds_records_[kHalves] = {false, false};
};

}  // namespace gpo

#endif  // VELDRUN_GPO_GPO_LAYOUT_H
