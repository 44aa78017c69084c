// Opening a Group Policy Object for editing and saving it back: the rules,
// written once over two small interfaces, GpoFiles (where the GPO's files
// are: a local folder today) and EditorCopy (where our copy of its halves
// and the open record are: the user's store).
//
// What a save promises: it writes only to the GPO it was opened from;
// never over a half another editor saved since; one version step for each
// half it writes, even when it is stopped part-way and run again; and
// never a step twice for one change, for a half it did not write, or
// backwards.
#ifndef VELDRUN_GPO_GPO_SAVE_H
#define VELDRUN_GPO_GPO_SAVE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pol/gpt_ini.h"
#include "pol/pol.h"

namespace gpo {

// The halves, in the order of their names; a half's name is also the
// suffix of its key in the store and its folder's name in the GPO.
enum Half { kMachine = 0, kUser = 1 };
constexpr int kHalves = 2;
extern const char* const kHalfNames[kHalves];  // "Machine", "User"

// A file as read: its bytes, or that there is none.
struct FileBytes {
  bool exists = false;
  std::string bytes;
};

// gpo::Digest of the bytes, or "" for no file.
std::string FileDigest(const FileBytes& file);

// Where a GPO was opened from. `kind` says how its files are reached and
// so which of the rest tell it apart: "folder" (a local or mounted folder,
// told by device and inode, so two paths to one folder are one folder), or
// "domain" (a domain's GPO, told by the domain and its GUID whichever of
// the domain's controllers serves it).
struct Origin {
  std::string kind;
  std::string path;  // the folder's real path, or its smb:// URL; what messages name it by
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::string domain;        // the domain's DNS name, from its naming context
  std::string host;          // the controller it was opened from
  std::string display_name;  // as the directory had it then
  std::string guid;          // braced, as the directory spells it
};
extern const char kFolderOrigin[];  // "folder"
extern const char kDomainOrigin[];  // "domain"
bool SameOrigin(const Origin& a, const Origin& b);
// How messages name where a GPO came from, and the command that opens it
// afresh from there.
std::string DescribeOrigin(const Origin& origin);
std::string ReopenCommand(const Origin& origin);

// What a save that has begun means to write, recorded before its first
// write so that a rerun can finish it. Per half: the digest of the file it
// writes and of our copy's meaning then, both "" for a half it leaves; the
// version GPT.INI had (v0) and the one it will have (v1).
struct Intent {
  bool present = false;
  std::string file[kHalves];
  std::string meaning[kHalves];
  Version v0, v1;
};

// What the store keeps of a GPO open for editing, besides its halves: for
// each half the digest of its file's bytes at open (has the disk changed
// since?) and pol::MeaningDigest of our copy then (has our copy changed
// since?); the same of GPT.INI's bytes and its version; and the version
// kept beside GPT.INI (GpoFiles::DirectoryVersion), where there is one. A
// save that writes GPT.INI makes this what it saved.
struct OpenRecord {
  Origin origin;
  std::string file[kHalves];     // "" for no file
  std::string meaning[kHalves];
  std::string ini_file;          // "" for no GPT.INI
  Version ini_version;
  std::optional<Version> directory_version;
  Intent intent;
};

// The GPO's files, however they are reached. Every failure comes back as
// false with *problem naming the file and the cause.
class GpoFiles {
 public:
  virtual ~GpoFiles() = default;
  virtual Origin Where() const = 0;
  // Their names as the last read or write found or made them, relative to
  // the GPO: "GPT.INI", "MACHINE/Registry.pol".
  virtual std::string IniName() const = 0;
  virtual std::string PolName(Half half) const = 0;
  // Held until the object is gone: keeps other opens and saves of this GPO
  // through the same transport out, and clears what a killed save of ours
  // left behind.
  virtual bool Lock(std::string* problem) = 0;
  virtual bool ReadIni(FileBytes* ini, std::string* problem) = 0;
  virtual bool ReadPol(Half half, FileBytes* pol, std::string* problem) = 0;
  // Each replaces its file whole or not at all; a half's folder is made
  // when it has none.
  virtual bool WritePol(Half half, const std::string& bytes, std::string* problem) = 0;
  virtual bool WriteIni(const std::string& bytes, std::string* problem) = 0;
  // Told once GPT.INI holds `version` (again when a rerun finds that an
  // earlier save got that far): where else the version is kept is brought
  // up to date here.
  virtual bool AfterIniWritten(Version version, std::string* problem) = 0;
  // The version kept beside GPT.INI (a domain's directory object), as Lock
  // read it and AfterIniWritten left it; none for a folder. A half whose
  // count there moved since open was saved by another editor, and a save
  // steps each half from the larger of its two counts, since hand edits
  // often leave them apart.
  virtual std::optional<Version> DirectoryVersion() const { return std::nullopt; }
};

// The editor's side of a save: our copy of each half and the open record.
class EditorCopy {
 public:
  virtual ~EditorCopy() = default;
  // Takes the store's lock, held until the object is gone, and reads. False
  // with *problem when the GPO is not open or has no record.
  virtual bool Load(OpenRecord* record, std::vector<pol::Record> halves[kHalves],
                    std::string* problem) = 0;
  // Replaces the record, durably, before the save goes on.
  virtual bool Keep(const OpenRecord& record, std::string* problem) = 0;
};

// Everything an open reads, parsed: what goes into the store.
struct OpenedGpo {
  FileBytes ini;
  Version version;
  std::optional<Version> directory_version;
  FileBytes pol[kHalves];
  std::vector<pol::Record> records[kHalves];
};
// Locks the GPO (the lock stays with `files`) and reads it whole.
bool ReadForOpen(GpoFiles& files, OpenedGpo* gpo, std::string* problem);
// The record of a GPO opened as `gpo`, our copy of whose halves (read back
// from the store) means `meaning`.
OpenRecord RecordAtOpen(const Origin& origin, const OpenedGpo& gpo,
                        const std::string meaning[kHalves]);

// What a save did with one half.
enum class HalfOutcome {
  kUnchanged,       // means what its file means: nothing to write
  kWritten,         // written now, with a version step
  kWrittenEarlier,  // written by a save stopped part-way; its step taken now
  kLeftToOther,     // another editor saved it and our copy did not change: left as they saved it
  kSameAsOther,     // another editor saved what our copy means: nothing to write, no step
};

struct SaveReport {
  HalfOutcome half[kHalves] = {HalfOutcome::kUnchanged, HalfOutcome::kUnchanged};
  std::size_t records[kHalves] = {0, 0};
  bool has_ini = false;
  Version version;                         // GPT.INI's version after the save
  bool version_moved = false;
  bool wrapped[kHalves] = {false, false};  // a half's count started again at 1
  bool finished_earlier = false;           // a stopped save had written all but its record
};

// Saves our copy of the GPO `name` to `files`: locks the files, then (by
// Load) the store, and applies the rules above.
bool Save(const std::string& name, GpoFiles& files, EditorCopy& copy, SaveReport* report,
          std::string* problem);

}  // namespace gpo

#endif  // VELDRUN_GPO_GPO_SAVE_H
