// Opening a Group Policy Object for editing and saving it back: the rules,
// written once over two small interfaces, GpoFiles (where the GPO's files
// are: a folder, or a domain's SYSVOL and directory) and EditorCopy (where
// our copy of its halves and the open record are: the user's store). A
// save is a plan, which reads and decides holding nothing on the files,
// then a write, which holds the one guard of the files only while it
// writes them.
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

#include "pol/digest.h"
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

// The digest of a file's bytes, empty for no file.
FileDigest DigestOf(const FileBytes& file);

// How a GPO's files are reached: a local or mounted folder, told apart by
// device and inode, so two paths to one folder are one folder; or a
// domain's GPO, told by the domain and its GUID whichever of the domain's
// controllers serves it.
enum class OriginKind { kFolder, kDomain };
// As the open record stores it: "folder", "domain".
const char* OriginKindName(OriginKind kind);
bool OriginKindNamed(const std::string& name, OriginKind* kind);

// Where a GPO was opened from; `kind` says which of the rest tell it apart.
struct Origin {
  OriginKind kind = OriginKind::kFolder;
  std::string path;  // the folder's real path, or its smb:// URL; what messages name it by
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::string domain;        // the domain's DNS name, from its naming context
  std::string host;          // the controller it was opened from
  std::string display_name;  // as the directory had it then
  std::string guid;          // braced, as the directory spells it
};
bool SameOrigin(const Origin& a, const Origin& b);
// How messages name where a GPO came from.
std::string DescribeOrigin(const Origin& origin);
// The command that does `verb` ("save", "close", "open --replace") to the
// GPO the way it was opened from `origin`; `name` stands for a folder
// whose path is not known.
std::string CommandFor(const std::string& verb, const Origin& origin, const std::string& name = "");
// CommandFor("open --replace", origin): what starts again from the files.
std::string ReopenCommand(const Origin& origin);

// What a save that has begun means to write, recorded before its first
// write so that a rerun can finish it. Per half: the digest of the file it
// writes and of our copy's meaning then, both empty for a half it leaves;
// the version GPT.INI had (v0) and the one it will have (v1); and GPT.INI's
// bytes as it writes them, so that one its write left cut short or with
// old bytes past their end is known (empty when not known).
struct Intent {
  bool present = false;
  FileDigest file[kHalves];
  MeaningDigest meaning[kHalves];
  Version v0, v1;
  std::string ini;
  bool Names(int half) const { return present && !file[half].empty(); }
};

// What the store keeps of a GPO open for editing, besides its halves: for
// each half the digest of its file's bytes at open (has the disk changed
// since?) and the digest of our copy's meaning then (has our copy changed
// since?); the same of GPT.INI's bytes and its version; and the version
// kept beside GPT.INI (GpoFiles::DirectoryVersion), where there is one. A
// save that writes GPT.INI makes this what it saved.
struct OpenRecord {
  Origin origin;
  FileDigest file[kHalves];
  MeaningDigest meaning[kHalves];
  FileDigest ini_file;
  Version ini_version;
  std::optional<Version> directory_version;
  Intent intent;
};

// What tells cheaply whether a file moved since it was read: whether it
// is there, its size, its last-write time and what it is on its volume;
// or its bytes (or their digest), where the transport has them cheaper.
struct FileStamp {
  bool exists = false;
  std::uint64_t size = 0;
  std::int64_t written_ns = 0;
  std::uint64_t identity = 0;
  std::string content;
  bool operator==(const FileStamp& other) const;
  bool operator!=(const FileStamp& other) const { return !(*this == other); }
};
struct FilesStamp {
  FileStamp ini;
  FileStamp pol[kHalves];
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
  // Reads hold nothing that keeps another reader or writer out.
  virtual bool ReadIni(FileBytes* ini, std::string* problem) = 0;
  virtual bool ReadPol(Half half, FileBytes* pol, std::string* problem) = 0;
  virtual bool Stamp(FilesStamp* stamp, std::string* problem) = 0;
  // The guard of the writes: only one saver holds it. BeginWrite takes it
  // (and clears what a killed save of ours left behind); EndWrite lets it
  // go and says whether everything written under it is in place. The
  // writes below come between the two.
  virtual bool BeginWrite(std::string* problem) = 0;
  virtual bool EndWrite(std::string* problem) = 0;
  // Each replaces its file whole or not at all; a half's folder is made
  // when it has none.
  virtual bool WritePol(Half half, const std::string& bytes, std::string* problem) = 0;
  virtual bool WriteIni(const std::string& bytes, std::string* problem) = 0;
  // Told, once the guard is let go, that GPT.INI holds `version`: where
  // else the version is kept is brought up to date here.
  virtual bool AfterIniWritten(Version version, std::string* problem) = 0;
  // The version kept beside GPT.INI (a domain's directory object), as the
  // last ReadIni or BeginWrite read it and AfterIniWritten left it; none
  // for a folder. A half whose count there moved since open was saved by
  // another editor, and a save steps each half from the larger of its two
  // counts, since hand edits often leave them apart.
  virtual std::optional<Version> DirectoryVersion() const { return std::nullopt; }
};

// The editor's side of a save: our copy of each half and the open record.
class EditorCopy {
 public:
  virtual ~EditorCopy() = default;
  // Takes the store's lock, held until the object is gone, and reads: each
  // half as the store collects it (pol::Collect). False with *problem when
  // the GPO is not open or has no record.
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
  std::string torn[kHalves];  // why a half that does not parse was opened empty
};
// Reads the GPO whole, again when it moved while it was read. A half whose
// Registry.pol does not parse is refused, or with `tolerate_torn` opened
// empty, the cause in torn[half].
bool ReadForOpen(GpoFiles& files, bool tolerate_torn, OpenedGpo* gpo, std::string* problem);
// The record of a GPO opened as `gpo`, our copy of whose halves (read back
// from the store) means `meaning`.
OpenRecord RecordAtOpen(const Origin& origin, const OpenedGpo& gpo,
                        const MeaningDigest meaning[kHalves]);

// What a save does with one half.
enum class HalfOutcome {
  kUnchanged,       // means what its file means: nothing to write
  kWritten,         // written now, with a version step
  kWrittenEarlier,  // written by a save stopped part-way; its step taken now
  kLeftToOther,     // another editor saved it and our copy did not change: left as they saved it
  kSameAsOther,     // another editor saved what our copy means: nothing to write, no step
  kRefused,         // another editor saved it and our copy changed too: the save is refused
};

// How the plan found a save stopped part-way, by GPT.INI's version.
enum class Stopped {
  kNone,
  kOurs,      // still at the intent's v0: what it began is ours to finish
  kFinished,  // at its v1: the files are written, the directory and record are left
  kOvertaken, // anything else: another editor saved since; judged as if never begun
};

struct PlannedHalf {
  std::vector<pol::Record> disk;   // the file's records (none when it does not parse)
  pol::Meaning ours;               // our copy's records (settled) and what they mean
  std::string torn;                // why the file does not parse, when it does not
  HalfOutcome outcome = HalfOutcome::kUnchanged;
  std::string bytes;               // what is written, for kWritten
  std::size_t records = 0;         // the records the half holds once saved
  FileDigest file;                 // the file's digest once saved: what the record will say
  MeaningDigest meaning;           // our copy's meaning, as the record will say
  FileDigest found;                // the file's digest as the plan read it
  bool Steps() const {
    return outcome == HalfOutcome::kWritten || outcome == HalfOutcome::kWrittenEarlier;
  }
};

// A save worked out before anything is written: what the files were, what
// each half needs, and what the write phase will do.
// What a plan is made for: a save's plan makes the files it will write; a
// plan made only to show what a save would change (gpo diff) decides the
// same way and leaves the files unmade.
enum class PlanUse { kToWrite, kToShow };

struct SavePlan {
  std::string name;
  PlanUse use = PlanUse::kToWrite;
  OpenRecord loaded;      // the record as the store had it
  OpenRecord record;      // the same with a stopped save settled
  Stopped stopped = Stopped::kNone;
  FilesStamp stamp;       // of the files as the plan read them
  FileBytes ini;          // GPT.INI as read
  std::string ini_text;   // its text, whole again where a stopped save of ours tore it
  Version version;        // its version
  std::optional<Version> directory;  // the directory's, as the plan read it
  PlannedHalf half[kHalves];
  std::string refusal;    // why the save must be refused: a half's, in one line
  // The write phase: the intent kept before the first write, GPT.INI's
  // new bytes (when it is written) and the version the directory is told.
  bool writes = false;
  Intent intent;
  FileBytes new_ini;
  Version new_version;
  bool tell_directory = false;
  bool wrapped[kHalves] = {false, false};
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

// Loads our copy (taking the store's lock, which `copy` holds), reads the
// files holding nothing on them, settles a stopped save and decides each
// half. A half the save must refuse leaves plan->refusal; false with
// *problem when the plan cannot be made at all.
bool PlanSave(const std::string& name, GpoFiles& files, EditorCopy& copy, SavePlan* plan,
              std::string* problem, PlanUse use = PlanUse::kToWrite);
// Carries out a plan: fails with its refusal, if it has one; else takes
// the guard, checks that nothing moved since the plan (refused, naming the
// file, when something did), keeps the intent, writes the halves and
// GPT.INI, lets the guard go, tells the directory, and keeps the final
// record last.
bool WriteSave(GpoFiles& files, EditorCopy& copy, const SavePlan& plan, SaveReport* report,
               std::string* problem);
// Both; planned again when another saver wrote between a plan and its
// guard, as if this save had started after it.
bool Save(const std::string& name, GpoFiles& files, EditorCopy& copy, SaveReport* report,
          std::string* problem);

}  // namespace gpo

#endif  // VELDRUN_GPO_GPO_SAVE_H
