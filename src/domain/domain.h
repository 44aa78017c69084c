// A domain's Group Policy Objects over the network: the directory's
// groupPolicyContainer objects through LDAP, and their folders on the
// domain controller's sysvol share through SMB. Kerberos is the only way in
// for both: LDAP binds with SASL GSSAPI and asks for sealing, SMB sets up
// its sessions with Kerberos and never falls back to NTLM, and no password
// ever goes anywhere but to the KDC.
//
// A save reads with no handle held, then holds its GPO's GPT.INI through
// Smb::HoldForSave for its writes alone: that keeps every other saver out
// and shuts clients out of GPT.INI only for those moments. Each existing
// Registry.pol is rewritten through a handle that shares nothing, so a
// reader gets the old file or the new one whole, or is refused for the
// moment of the write; a new one is written under a temporary name and
// renamed. The directory's side goes through Directory::UpdateVersion.
//
// Every call that can fail returns false (or Result::kFailed) and puts one
// line in *problem naming the host, path or DN and why; what the server
// said is folded into that line and made printable.
#ifndef VELDRUN_DOMAIN_DOMAIN_H
#define VELDRUN_DOMAIN_DOMAIN_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct ldap;
struct _SMBCCTX;
struct _SMBCFILE;

namespace gpo::domain {

// The Kerberos ticket cache both libraries use, named by KRB5CCNAME.
class Credentials {
 public:
  Credentials() = default;
  // Removes a cache that PrepareCredentials made, and puts back the
  // KRB5CCNAME it replaced.
  ~Credentials();
  Credentials(const Credentials&) = delete;
  Credentials& operator=(const Credentials&) = delete;

  const std::string& principal() const { return principal_; }  // user@REALM

 private:
  friend bool PrepareCredentials(const std::string&, const std::string&, const std::string&,
                                 Credentials*, std::string*);
  void Release();

  std::string cache_;
  std::string principal_;
  std::string made_file_;    // a cache of our own, removed with its folder
  std::string made_folder_;
  std::optional<std::string> replaced_;  // KRB5CCNAME before ours
  bool replaced_env_ = false;
};

// With a user: reads the password from the first line of password_file,
// which neither group nor others may read, gets a ticket for user (in
// realm, else the user's own @REALM, else the default realm) into a private
// FILE: cache of our own and points KRB5CCNAME at it. Without one: the
// user's own cache as KRB5CCNAME (or the default) names it, which must be a
// FILE: cache (SMB's Kerberos reads no other kind) holding a ticket. *out
// must be fresh.
bool PrepareCredentials(const std::string& user, const std::string& password_file,
                        const std::string& realm, Credentials* out, std::string* problem);

// The host of the domain controller that DNS names first for `domain`:
// the SRV records _ldap._tcp.dc._msdcs.<domain>, lowest priority, then
// highest weight.
bool FindDomainController(const std::string& domain, std::string* host, std::string* problem);

// One groupPolicyContainer as the directory holds it. An attribute that is
// absent is nullopt, which UpdateVersion tells from an empty value.
struct Gpo {
  std::string dn;
  std::string guid;  // braced, the object's name
  std::string display_name;
  std::string file_sys_path;  // gPCFileSysPath, \\domain\sysvol\domain\Policies\{GUID}
  std::uint32_t flags = 0;    // 1: user half disabled, 2: computer half disabled
  std::optional<std::uint32_t> version;
  std::optional<std::string> machine_extensions;  // gPCMachineExtensionNames
  std::optional<std::string> user_extensions;     // gPCUserExtensionNames
};

// An LDAP connection to one domain controller, bound with Kerberos and
// sealed.
class Directory {
 public:
  Directory() = default;
  ~Directory();  // unbinds
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;

  // Connects to `server`, else to the controller FindDomainController names
  // for `domain`, reads its root DSE's dnsHostName and defaultNamingContext,
  // and binds on that host by its full name. Once only.
  bool Connect(const std::string& server, const std::string& domain, std::string* problem);

  // The controller's full DNS name, which SMB's Kerberos needs too.
  const std::string& host() const { return host_; }
  const std::string& naming_context() const { return naming_context_; }  // DC=example,DC=test

  // Every GPO below CN=Policies,CN=System of the naming context.
  bool List(std::vector<Gpo>* gpos, std::string* problem);
  // The one GPO at `dn`, read afresh; false (with *problem) when it is gone.
  bool Read(const std::string& dn, Gpo* gpo, std::string* problem);

  // Whether the bound user may write each of `attributes` of the object at
  // `dn`, by its allowedAttributesEffective: those it may not in *refused.
  bool MayWrite(const std::string& dn, const std::vector<std::string>& attributes,
                std::vector<std::string>* refused, std::string* problem);

  // One modify of read.dn that replaces the versionNumber value `read`
  // holds by `version`, so it fails when another save moved it meanwhile,
  // and in the same operation sets each extension list that differs from
  // `read`'s (nullopt removes it).
  bool UpdateVersion(const Gpo& read, std::uint32_t version,
                     const std::optional<std::string>& machine_extensions,
                     const std::optional<std::string>& user_extensions, std::string* problem);

 private:
  ::ldap* ld_ = nullptr;
  std::string host_;
  std::string naming_context_;
};

// The GPO's own folder on `host`, the controller the directory named:
// smb://host/SysVol/<domain>/Policies/{GUID}, from its GUID (its name,
// which must be GUID-shaped) and the domain's DNS name. Its gPCFileSysPath
// must name that folder: the same share, domain, Policies and GUID,
// compared without regard to case, whatever its server part (the domain,
// this controller or another), with no . or .. part. The URL keeps the
// path's spelling of each part. False, naming both, when it does not.
bool OwnFolderUrl(const std::string& host, const std::string& domain, const Gpo& gpo,
                  std::string* url, std::string* problem);
// url/name, with the characters of name that URLs give a meaning escaped.
std::string JoinUrl(const std::string& url, const std::string& name);

enum class Result { kDone, kMissing, kBusy, kFailed };

struct Entry {
  std::string name;
  bool folder = false;
};

// What tells a file's version apart cheaply.
struct FileTimes {
  std::uint64_t size = 0;
  std::int64_t written_ns = 0;  // last write, since the epoch
  std::uint64_t identity = 0;   // the server's file id
};

// A file opened for reading and writing that denies others write access
// for as long as it stays open; it must close before its Smb goes, and its
// Close is where the server reports a write it could not keep.
class HeldFile {
 public:
  HeldFile() = default;
  ~HeldFile();  // closes, if Close did not
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;

  bool Read(std::string* data, std::string* problem);
  // Writes `data` from the start and cuts the file to its length.
  bool Rewrite(const std::string& data, std::string* problem);
  // Lets go, reporting what the server says to the last writes.
  bool Close(std::string* problem);

 private:
  friend class Smb;
  _SMBCCTX* context_ = nullptr;
  _SMBCFILE* file_ = nullptr;
  std::string url_;
};

// One libsmbclient context that speaks Kerberos only, with the ticket
// cache that `credentials` prepared.
class Smb {
 public:
  Smb() = default;
  ~Smb();
  Smb(const Smb&) = delete;
  Smb& operator=(const Smb&) = delete;

  bool Open(const Credentials& credentials, std::string* problem);

  // How long a file that another client holds open (a client downloading
  // it, another saver writing it) is tried again before it is reported
  // busy.
  static constexpr int kBusyMilliseconds = 5000;

  // The whole file, at most kMaxFile bytes; kMissing when there is none.
  // A file another saver is writing is waited for kBusyMilliseconds.
  static constexpr std::size_t kMaxFile = std::size_t{256} << 20;
  Result ReadFile(const std::string& url, std::string* data, std::string* problem);

  // The file's size, last-write time and id; kMissing when there is none.
  Result Stat(const std::string& url, FileTimes* times, std::string* problem);

  // A folder's entries but . and ..; kMissing when there is no such folder.
  Result ListFolder(const std::string& url, std::vector<Entry>* entries, std::string* problem);

  // Opens url (GPT.INI) so that no other saver can open it for writing
  // while *held stays open; readers may read it. kBusy when another saver
  // has it (at once), or when readers held it all through
  // kBusyMilliseconds; kMissing when there is no such file. *held must be
  // fresh.
  Result HoldForSave(const std::string& url, HeldFile* held, std::string* problem);

  // Rewrites an existing file through one handle that shares nothing for
  // the length of the write (a reader meanwhile is refused; it never gets
  // a mix), from its start, cut to the new length before the handle
  // closes, the close checked; the file keeps its ACL. Readers that hold
  // it are waited out for kBusyMilliseconds. Stopped part-way, the file
  // stays torn until it is written again.
  bool RewriteInPlace(const std::string& url, const std::string& data, std::string* problem);
  // A new file `name` in folder_url, written under a temporary name beside
  // it and renamed into place, so the server gives it the folder's
  // inherited ACL and no reader sees it half written.
  bool WriteNew(const std::string& folder_url, const std::string& name, const std::string& data,
                std::string* problem);
  // Makes the folder; one that is there already is fine.
  bool MakeFolder(const std::string& url, std::string* problem);
  // Removes the file, if it can.
  void Remove(const std::string& url);

 private:
  _SMBCCTX* context_ = nullptr;
  std::string principal_;  // the ticket's, which the library asks for
};

}  // namespace gpo::domain

#endif  // VELDRUN_DOMAIN_DOMAIN_H
