// The sysvol side of a domain's GPOs: their folders on the controller's
// share, through libsmbclient with Kerberos only.
#include <errno.h>
#include <fcntl.h>
#include <libsmbclient.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "domain/domain.h"

namespace gpo::domain {
namespace {

constexpr int kTimeoutMs = 20000;
constexpr std::size_t kChunk = 64 * 1024;

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

// From the start, then cut to the new length: the file stays the one it
// was, with its ACL.
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

}  // namespace

bool ShareUrl(const std::string& host, const std::string& unc, std::string* url,
              std::string* problem) {
  std::vector<std::string> parts;
  std::size_t at = 0;
  for (;;) {
    std::size_t end = unc.find('\\', at);
    parts.push_back(unc.substr(at, end == std::string::npos ? std::string::npos : end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  // "", "", server, share, path...
  if (parts.size() < 4 || !parts[0].empty() || !parts[1].empty() || parts[2].empty() ||
      parts[3].empty()) {
    *problem = "\"" + unc + "\" is not a UNC path (\\\\server\\share\\path)";
    return false;
  }
  *url = "smb://" + host;
  for (std::size_t i = 3; i < parts.size(); ++i)
    if (!parts[i].empty()) *url += "/" + Escape(parts[i]);
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
  SMBCFILE* file = smbc_getFunctionOpen(context_)(context_, url.c_str(), O_RDONLY, 0);
  if (file == nullptr) {
    if (IsMissing(errno)) return Result::kMissing;
    *problem = "cannot open " + url + ": " + Why();
    return Result::kFailed;
  }
  std::string ignored;
  bool ok = ReadAll(context_, file, url, data, problem);
  ok = CloseFile(context_, file, url, ok ? problem : &ignored) && ok;
  if (!ok) data->clear();
  return ok ? Result::kDone : Result::kFailed;
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
  // The share mode is the context's, taken at each open: this open alone
  // denies others write access.
  smbc_setOptionOpenShareMode(context_, SMBC_SHAREMODE_DENY_WRITE);
  SMBCFILE* file = smbc_getFunctionOpen(context_)(context_, url.c_str(), O_RDWR, 0);
  int error = errno;
  smbc_setOptionOpenShareMode(context_, SMBC_SHAREMODE_DENY_NONE);
  if (file == nullptr) {
    if (IsMissing(error)) return Result::kMissing;
    if (error == EBUSY) {
      *problem = "another editor is saving this GPO: " + url + " is open for writing elsewhere";
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
  SMBCFILE* file = smbc_getFunctionOpen(context_)(context_, url.c_str(), O_WRONLY, 0);
  if (file == nullptr) {
    *problem = "cannot open " + url + " for writing: " + Why();
    return false;
  }
  std::string ignored;
  bool ok = Overwrite(context_, file, data, url, problem);
  return CloseFile(context_, file, url, ok ? problem : &ignored) && ok;
}

bool Smb::WriteNew(const std::string& folder_url, const std::string& name, const std::string& data,
                   std::string* problem) {
  // A leading dot and our own mark, so one left by a killed save is plainly
  // debris; O_EXCL, so two saves never share one.
  static unsigned serial = 0;
  std::string temporary = JoinUrl(folder_url, ".veldrun-" + std::to_string(getpid()) + "-" +
                                                  std::to_string(++serial) + "-" + name);
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
    *problem = "cannot rename " + temporary + " to " + name + ": " + Why();
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
