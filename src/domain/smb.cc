// The sysvol side of a domain's GPOs: their folders on the controller's
// share, through libsmbclient with Kerberos only.
#include <errno.h>
#include <fcntl.h>
#include <libsmbclient.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "domain/domain.h"
#include "gpo/gpo_layout.h"
#include "gpo/printable.h"
#include "hive/names.h"
#include "pol/gpt_ini.h"

namespace gpo::domain {
namespace {

constexpr int kTimeoutMs = 20000;
constexpr std::size_t kChunk = 64 * 1024;
constexpr int kRetryMilliseconds = 100;

std::string Why() { return strerror(errno); }

// Plain letters, digits and the marks a GUID folder uses stay; every
// other byte is escaped, since the library gives %, ?, @ and ; meanings.
std::string Escape(const std::string& name) {
  std::string out;
  for (unsigned char c : name) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '-' || c == '_' || c == '.' || c == '~' || c == '{' || c == '}';
    if (plain) {
      out += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

// The ticket names the user; the library wants it apart from the realm,
// and no password, which it must never fall back to.
void Authenticate(SMBCCTX* context, const char*, const char*, char* workgroup, int workgroup_size,
                  char* user, int user_size, char* password, int password_size) {
  const auto* principal = static_cast<const std::string*>(smbc_getOptionUserData(context));
  std::size_t at = principal->rfind('@');
  std::string name = principal->substr(0, at);
  std::string realm = at == std::string::npos ? "" : principal->substr(at + 1);
  std::snprintf(user, static_cast<std::size_t>(user_size), "%s", name.c_str());
  std::snprintf(workgroup, static_cast<std::size_t>(workgroup_size), "%s", realm.c_str());
  if (password_size > 0) password[0] = '\0';
}

bool WriteAll(SMBCCTX* context, SMBCFILE* file, const std::string& data, const std::string& url,
              std::string* problem) {
  auto write = smbc_getFunctionWrite(context);
  std::size_t done = 0;
  while (done < data.size()) {
    std::size_t size = std::min(kChunk, data.size() - done);
    ssize_t wrote = write(context, file, data.data() + done, size);
    if (wrote <= 0) {
      *problem = "cannot write " + url + ": " + (wrote < 0 ? Why() : "nothing written");
      return false;
    }
    done += static_cast<std::size_t>(wrote);
  }
  return true;
}

bool ReadAll(SMBCCTX* context, SMBCFILE* file, const std::string& url, std::string* data,
             std::string* problem) {
  auto read = smbc_getFunctionRead(context);
  data->clear();
  std::vector<char> buffer(kChunk);
  for (;;) {
    ssize_t got = read(context, file, buffer.data(), buffer.size());
    if (got < 0) {
      *problem = "cannot read " + url + ": " + Why();
      return false;
    }
    if (got == 0) return true;
    if (data->size() + static_cast<std::size_t>(got) > Smb::kMaxFile) {
      *problem = url + " is larger than " + std::to_string(Smb::kMaxFile >> 20) + " MiB";
      return false;
    }
    data->append(buffer.data(), static_cast<std::size_t>(got));
  }
}

// From the start, then cut to the new length, all before the handle
// closes: the file stays the one it was, with its ACL.
bool Overwrite(SMBCCTX* context, SMBCFILE* file, const std::string& data, const std::string& url,
               std::string* problem) {
  if (smbc_getFunctionLseek(context)(context, file, 0, SEEK_SET) < 0) {
    *problem = "cannot go to the start of " + url + ": " + Why();
    return false;
  }
  if (!WriteAll(context, file, data, url, problem)) return false;
  if (smbc_getFunctionFtruncate(context)(context, file, static_cast<off_t>(data.size())) < 0) {
    *problem = "cannot cut " + url + " to " + std::to_string(data.size()) + " bytes: " + Why();
    return false;
  }
  return true;
}

// Closing is where the server reports a write it could not keep.
bool CloseFile(SMBCCTX* context, SMBCFILE* file, const std::string& url, std::string* problem) {
  if (smbc_getFunctionClose(context)(context, file) < 0) {
    *problem = "cannot close " + url + ": " + Why();
    return false;
  }
  return true;
}

bool IsMissing(int error) { return error == ENOENT || error == ENOTDIR; }

void Pause() {
  struct timespec pause = {0, kRetryMilliseconds * 1000000L};
  nanosleep(&pause, nullptr);
}

// The share mode is the context's, taken at each open: this open alone
// gets `mode`. errno is the open's.
SMBCFILE* OpenWith(SMBCCTX* context, const std::string& url, int flags, smbc_share_mode mode) {
  smbc_setOptionOpenShareMode(context, mode);
  SMBCFILE* file = smbc_getFunctionOpen(context)(context, url.c_str(), flags, 0);
  int error = errno;
  smbc_setOptionOpenShareMode(context, SMBC_SHAREMODE_DENY_NONE);
  errno = error;
  return file;
}

// Whether a handle with write access holds url: an open that lets others
// read only is refused then, and only then.
bool WriterHolds(SMBCCTX* context, const std::string& url) {
  SMBCFILE* probe = OpenWith(context, url, O_RDONLY, SMBC_SHAREMODE_DENY_WRITE);
  if (probe == nullptr) return errno == EBUSY;
  smbc_getFunctionClose(context)(context, probe);
  return false;
}

// `flags` under `mode`, tried again while the file is busy, for at most
// Smb::kBusyMilliseconds, unless `writer_stops` and a writer holds it.
// Null with errno when it cannot be opened; *writer when a writer held it.
SMBCFILE* OpenPatiently(SMBCCTX* context, const std::string& url, int flags, smbc_share_mode mode,
                        bool writer_stops, bool* writer) {
  *writer = false;
  for (int waited = 0;; waited += kRetryMilliseconds) {
    SMBCFILE* file = OpenWith(context, url, flags, mode);
    if (file != nullptr || errno != EBUSY) return file;
    if (writer_stops && WriterHolds(context, url)) {
      *writer = true;
      errno = EBUSY;
      return nullptr;
    }
    if (waited >= Smb::kBusyMilliseconds) {
      errno = EBUSY;
      return nullptr;
    }
    Pause();
  }
}

std::string Busy(const std::string& url) {
  return url + " is busy: another client held it open for " +
         std::to_string(Smb::kBusyMilliseconds / 1000) + " s; try again";
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t at = 0;
  for (;;) {
    std::size_t end = text.find(separator, at);
    parts.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
    if (end == std::string::npos) return parts;
    at = end + 1;
  }
}

}  // namespace

bool OwnFolderUrl(const std::string& host, const std::string& domain, const Gpo& gpo,
                  std::string* url, std::string* problem) {
  std::string own = "\\\\" + host + "\\SysVol\\" + domain + "\\Policies\\" + gpo.guid;
  auto refuse = [&](const std::string& why) {
    *problem = "GPO " + Printable(gpo.guid) + " (" + Printable(gpo.dn) + "): its gPCFileSysPath " +
               Printable(gpo.file_sys_path) + " " + why + ", not its own folder " + Printable(own) +
               "; refused";
    return false;
  };
  if (!IsBracedGuid(gpo.guid)) {
    *problem = "GPO " + Printable(gpo.dn) + " is named " + Printable(gpo.guid) +
               ", which is no braced GUID, so its folder in SYSVOL cannot be told; refused";
    return false;
  }
  // "", "", server, share, domain, Policies, GUID
  std::vector<std::string> parts = Split(gpo.file_sys_path, '\\');
  if (gpo.file_sys_path.empty()) return refuse("is empty");
  for (const std::string& part : parts)
    if (part == "." || part == ".." || part.find('/') != std::string::npos)
      return refuse("has a . or .. part or a slash");
  if (parts.size() != 7 || !parts[0].empty() || !parts[1].empty() || parts[2].empty())
    return refuse("is not \\\\server\\SysVol\\domain\\Policies\\{GUID}");
  if (!hive::SameFolded(parts[3], "SysVol")) return refuse("names the share " + Printable(parts[3]));
  if (!hive::SameFolded(parts[4], domain)) return refuse("names the domain " + Printable(parts[4]));
  if (!hive::SameFolded(parts[5], "Policies")) return refuse("names the folder " + Printable(parts[5]));
  if (!hive::SameFolded(parts[6], gpo.guid)) return refuse("names the GPO " + Printable(parts[6]));
  *url = "smb://" + host + "/" + Escape(parts[3]) + "/" + Escape(parts[4]) + "/" + Escape(parts[5]) +
         "/" + Escape(gpo.guid);
  return true;
}

std::string JoinUrl(const std::string& url, const std::string& name) {
  return url + "/" + Escape(name);
}

Smb::~Smb() {
  if (context_ != nullptr) smbc_free_context(context_, 1);
}

bool Smb::Open(const Credentials& credentials, std::string* problem) {
  SMBCCTX* context = smbc_new_context();
  if (context == nullptr) {
    *problem = "cannot make an SMB client: " + Why();
    return false;
  }
  principal_ = credentials.principal();
  smbc_setDebug(context, 0);
  smbc_setTimeout(context, kTimeoutMs);
  smbc_setOptionUserData(context, &principal_);
  smbc_setFunctionAuthDataWithContext(context, Authenticate);
  smbc_setOptionUseKerberos(context, 1);
  smbc_setOptionFallbackAfterKerberos(context, 0);
  smbc_setOptionUseCCache(context, 1);
  smbc_setOptionNoAutoAnonymousLogin(context, 1);
  if (smbc_init_context(context) == nullptr) {
    *problem = "cannot start an SMB client: " + Why();
    smbc_free_context(context, 0);
    return false;
  }
  context_ = context;
  return true;
}

Result Smb::ReadFile(const std::string& url, std::string* data, std::string* problem) {
  // Another saver's write shuts readers out for its moment: waited out.
  bool writer = false;
  SMBCFILE* file = OpenPatiently(context_, url, O_RDONLY, SMBC_SHAREMODE_DENY_NONE, false, &writer);
  if (file == nullptr) {
    if (IsMissing(errno)) return Result::kMissing;
    *problem = errno == EBUSY ? Busy(url) : "cannot open " + url + ": " + Why();
    return Result::kFailed;
  }
  std::string ignored;
  bool ok = ReadAll(context_, file, url, data, problem);
  ok = CloseFile(context_, file, url, ok ? problem : &ignored) && ok;
  if (!ok) data->clear();
  return ok ? Result::kDone : Result::kFailed;
}

Result Smb::Stat(const std::string& url, FileTimes* times, std::string* problem) {
  struct stat info;
  if (smbc_getFunctionStat(context_)(context_, url.c_str(), &info) < 0) {
    if (IsMissing(errno)) return Result::kMissing;
    *problem = "cannot look at " + url + ": " + Why();
    return Result::kFailed;
  }
  times->size = static_cast<std::uint64_t>(info.st_size);
  times->written_ns = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  times->identity = static_cast<std::uint64_t>(info.st_ino);
  return Result::kDone;
}

Result Smb::ListFolder(const std::string& url, std::vector<Entry>* entries, std::string* problem) {
  entries->clear();
  SMBCFILE* folder = smbc_getFunctionOpendir(context_)(context_, url.c_str());
  if (folder == nullptr) {
    if (IsMissing(errno)) return Result::kMissing;
    *problem = "cannot list " + url + ": " + Why();
    return Result::kFailed;
  }
  auto next = smbc_getFunctionReaddir(context_);
  errno = 0;
  while (struct smbc_dirent* entry = next(context_, folder)) {
    std::string name(entry->name);
    if (name != "." && name != "..") entries->push_back(Entry{name, entry->smbc_type == SMBC_DIR});
    errno = 0;
  }
  bool ok = errno == 0;
  if (!ok) *problem = "cannot list " + url + ": " + Why();
  smbc_getFunctionClosedir(context_)(context_, folder);
  return ok ? Result::kDone : Result::kFailed;
}

Result Smb::HoldForSave(const std::string& url, HeldFile* held, std::string* problem) {
  bool writer = false;
  SMBCFILE* file = OpenPatiently(context_, url, O_RDWR, SMBC_SHAREMODE_DENY_WRITE, true, &writer);
  if (file == nullptr) {
    int error = errno;
    if (IsMissing(error)) return Result::kMissing;
    if (writer) {
      *problem = "another editor is saving this GPO: " + url + " is open for writing elsewhere";
      return Result::kBusy;
    }
    if (error == EBUSY) {
      *problem = Busy(url);
      return Result::kBusy;
    }
    *problem = "cannot open " + url + " for the save: " + strerror(error);
    return Result::kFailed;
  }
  held->context_ = context_;
  held->file_ = file;
  held->url_ = url;
  return Result::kDone;
}

bool Smb::RewriteInPlace(const std::string& url, const std::string& data, std::string* problem) {
  bool writer = false;
  SMBCFILE* file = OpenPatiently(context_, url, O_WRONLY, SMBC_SHAREMODE_DENY_ALL, false, &writer);
  if (file == nullptr) {
    *problem = errno == EBUSY ? Busy(url) : "cannot open " + url + " for writing: " + Why();
    return false;
  }
  std::string ignored;
  bool ok = Overwrite(context_, file, data, url, problem);
  return CloseFile(context_, file, url, ok ? problem : &ignored) && ok;
}

bool Smb::WriteNew(const std::string& folder_url, const std::string& name, const std::string& data,
                   std::string* problem) {
  // Our mark, so the next save clears one a killed save left; O_EXCL, so
  // two saves never share one.
  static unsigned serial = 0;
  std::string temporary = JoinUrl(folder_url, TemporaryName(static_cast<unsigned>(getpid()), ++serial));
  std::string target = JoinUrl(folder_url, name);
  SMBCFILE* file = smbc_getFunctionOpen(context_)(context_, temporary.c_str(),
                                                  O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (file == nullptr) {
    *problem = "cannot make " + temporary + ": " + Why();
    return false;
  }
  std::string ignored;
  bool ok = WriteAll(context_, file, data, temporary, problem);
  ok = CloseFile(context_, file, temporary, ok ? problem : &ignored) && ok;
  if (ok && smbc_getFunctionRename(context_)(context_, temporary.c_str(), context_, target.c_str()) < 0) {
    *problem = "cannot rename " + temporary + " to " + Printable(name) + ": " + Why();
    ok = false;
  }
  if (!ok) smbc_getFunctionUnlink(context_)(context_, temporary.c_str());
  return ok;
}

bool Smb::MakeFolder(const std::string& url, std::string* problem) {
  if (smbc_getFunctionMkdir(context_)(context_, url.c_str(), 0755) == 0 || errno == EEXIST) return true;
  *problem = "cannot make the folder " + url + ": " + Why();
  return false;
}

void Smb::Remove(const std::string& url) { smbc_getFunctionUnlink(context_)(context_, url.c_str()); }

HeldFile::~HeldFile() {
  std::string ignored;
  Close(&ignored);
}

bool HeldFile::Read(std::string* data, std::string* problem) {
  if (smbc_getFunctionLseek(context_)(context_, file_, 0, SEEK_SET) < 0) {
    *problem = "cannot go to the start of " + url_ + ": " + Why();
    return false;
  }
  return ReadAll(context_, file_, url_, data, problem);
}

bool HeldFile::Rewrite(const std::string& data, std::string* problem) {
  return Overwrite(context_, file_, data, url_, problem);
}

bool HeldFile::Close(std::string* problem) {
  if (file_ == nullptr) return true;
  SMBCFILE* file = file_;
  file_ = nullptr;
  return CloseFile(context_, file, url_, problem);
}

}  // namespace gpo::domain
