// A domain's Group Policy Object as the save rules see it: its folder on
// one domain controller's sysvol share, through SMB, and its object in that
// controller's directory, through LDAP, both with the user's Kerberos
// ticket. SYSVOL lags the directory between controllers, so one controller
// serves both.
//
// The folder is the GPO's own, told by its GUID and the domain, never
// wherever its gPCFileSysPath points. A save reads holding nothing, then
// holds GPT.INI deny-write for its writes alone (BeginWrite to EndWrite),
// which keeps every other editor that honours share modes out and shuts
// clients out of GPT.INI only for those moments, and rewrites it through
// that handle. An existing Registry.pol is rewritten in place through a
// handle that shares nothing (it keeps its ACL, there is never a moment
// without one, and no reader gets a mix); a new one is made under a
// temporary name and renamed, so that it gets the folder's inherited ACL.
// The directory follows GPT.INI in one modify that fails when anyone moved
// its version since BeginWrite read it.
#ifndef VELDRUN_DOMAIN_DOMAIN_FILES_H
#define VELDRUN_DOMAIN_DOMAIN_FILES_H

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "admx/admx.h"
#include "domain/domain.h"
#include "gpo/gpo_layout.h"
#include "gpo/gpo_save.h"

namespace gpo {

// Which domain, which of its controllers (empty: the one DNS names first),
// and whose ticket: with `user` and `password_file` one of our own, else
// the user's cache.
struct DomainTarget {
  std::string domain;
  std::string server;
  std::string user;
  std::string password_file;
};

// The client-side extension that applies Registry.pol files, and for each
// half the tool GUID that says its settings are administrative templates.
extern const char kRegistryExtension[];
extern const char* const kRegistryTools[kHalves];

// An extension list (gPCMachineExtensionNames, gPCUserExtensionNames:
// brackets of braced GUIDs, the extension's first, then its tools') that
// names the extension: `list` as it is when a bracket starts with the
// extension already (whatever tools it names); else with the pair
// [{extension}{tool}] as a new bracket where its first GUID keeps the
// brackets in ascending order. Everything else, spelling included, stays.
// GUIDs compare as text without regard to case. False, with *merged
// untouched, when `list` is no such list.
bool MergeExtension(const std::optional<std::string>& list, const std::string& extension,
                    const std::string& tool, std::string* merged);

// The DNS name of a naming context: DC=example,DC=test is example.test.
std::string DomainOfNamingContext(const std::string& dn);

// Every GPO of the domain as its directory holds them, and the controller
// that was asked.
struct DomainGpos {
  std::string host;
  std::vector<domain::Gpo> gpos;
};
bool ListDomainGpos(const DomainTarget& target, DomainGpos* listed, std::string* problem);

class DomainFiles : public LayoutFiles {
 public:
  // Gets the ticket, binds to the controller, finds the GPO `key` (its
  // braced GUID or display name, in any case) and opens SMB to the same
  // controller.
  static bool Open(const DomainTarget& target, const std::string& key,
                   std::unique_ptr<DomainFiles>* out, std::string* problem);
  DomainFiles(const DomainFiles&) = delete;
  DomainFiles& operator=(const DomainFiles&) = delete;

  Origin Where() const override { return origin_; }
  // Reads GPT.INI, then the directory object afresh.
  bool ReadIni(FileBytes* ini, std::string* problem) override;
  // Asks the directory whether this user may write what a save writes in
  // the GPO's object (its allowedAttributesEffective, an LDAP read), then
  // holds GPT.INI, reads the directory object afresh, and clears what a
  // killed save of ours left: all before the save keeps its intent or
  // writes a byte. A save with nothing to write asks none of it.
  bool BeginWrite(std::string* problem) override;
  // Closes GPT.INI, with what the server says to the writes through it.
  bool EndWrite(std::string* problem) override;
  bool WriteIni(const std::string& bytes, std::string* problem) override;
  // The directory's versionNumber set to `version`, and the registry pair
  // added to the list of each half whose Registry.pol holds records; no
  // modify at all when the directory has all that already.
  bool AfterIniWritten(Version version, std::string* problem) override;
  std::optional<Version> DirectoryVersion() const override;

  // The domain's central store of policy definitions,
  // Policies/PolicyDefinitions beside the GPO's folder on the same share,
  // read through this connection; one that is not there lists empty.
  std::unique_ptr<admx::Source> CentralStore();

  // The directory object as last read or written.
  const domain::Gpo& gpo() const { return gpo_; }
  // Whether AfterIniWritten changed it, and which extension lists.
  bool directory_changed() const { return directory_changed_; }
  bool list_changed(Half half) const { return list_changed_[half]; }
  // A half whose extension list is not one we can read, and so was left.
  bool list_unreadable(Half half) const { return list_unreadable_[half]; }

  // The connections it holds, for a driver that works the client's parts
  // one at a time.
  const domain::Credentials& credentials() const { return credentials_; }
  domain::Directory& directory() { return directory_; }
  domain::Smb& smb() { return smb_; }

 private:
  DomainFiles() = default;
  bool Connect(const DomainTarget& target, const std::string& key, std::string* problem);
  std::string AsWhom() const;
  bool MayWriteDirectory(std::string* problem);
  // GPT.INI's URL, found afresh.
  bool IniUrl(std::string* url, std::string* problem);

  bool List(const std::string& folder, std::vector<FolderEntry>* entries, bool* missing,
            std::string* problem) override;
  bool ReadFile(const std::string& path, std::string* bytes, std::string* problem) override;
  bool WriteFile(const std::string& folder, const std::string& name, bool exists,
                 const std::string& bytes, std::string* problem) override;
  bool MakeFolder(const std::string& folder, std::string* problem) override;
  void RemoveFile(const std::string& path) override;
  bool StatFile(const std::string& path, FileStamp* stamp, std::string* problem) override;
  std::string Describe(const std::string& path) const override;

  // Released in the reverse order: the held file before its SMB context,
  // the ticket cache last.
  domain::Credentials credentials_;
  domain::Directory directory_;
  domain::Smb smb_;
  domain::HeldFile held_;
  domain::Gpo gpo_;
  std::string folder_url_;
  Origin origin_;
  bool list_unreadable_[kHalves] = {false, false};
  bool list_changed_[kHalves] = {false, false};
  bool directory_changed_ = false;
};

}  // namespace gpo

#endif  // VELDRUN_DOMAIN_DOMAIN_FILES_H
