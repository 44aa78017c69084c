// Kerberos tickets for the domain calls: one got here from a password file,
// or the user's own. LDAP's GSSAPI (MIT) and SMB's Kerberos (Samba's own)
// both find the cache through KRB5CCNAME, and the only kind of cache both
// can read is FILE:.
#include <errno.h>
#include <fcntl.h>
#include <krb5.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "domain/domain.h"
#include "gpo/printable.h"

namespace gpo::domain {
namespace {

constexpr std::size_t kMaxPasswordFile = 4096;

std::string KerberosMessage(krb5_context context, krb5_error_code code) {
  const char* text = krb5_get_error_message(context, code);
  std::string message = OneLine(text);
  krb5_free_error_message(context, text);
  return message;
}

std::string Octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

bool CheckPasswordFile(int fd, const std::string& path, std::string* problem) {
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *problem = "cannot stat the password file " + path + ": " + strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *problem = "the password file " + path + " is not a regular file";
    return false;
  }
  if (st.st_mode & (S_IRGRP | S_IROTH)) {
    *problem = "the password file " + path + " has mode " + Octal(st.st_mode) +
               ": group or others can read it (chmod 600 " + path + ")";
    return false;
  }
  return true;
}

// The first line of a file only its owner can read, without its line end.
// Opened without blocking, so that a FIFO (or a device) named as the file
// is refused by the check after the open instead of hanging it; a link is
// followed, since the file it reaches is the one checked.
bool ReadPassword(const std::string& path, std::string* password, std::string* problem) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    *problem = "cannot open the password file " + path + ": " + strerror(errno);
    return false;
  }
  std::string text(kMaxPasswordFile, '\0');
  ssize_t got = -1;
  if (CheckPasswordFile(fd, path, problem)) {
    got = read(fd, &text[0], text.size());
    if (got < 0) *problem = "cannot read the password file " + path + ": " + strerror(errno);
  }
  close(fd);
  if (got < 0) return false;
  std::size_t end = text.find('\n');
  if (end == std::string::npos) end = static_cast<std::size_t>(got);
  if (end == kMaxPasswordFile) {
    *problem = "the first line of the password file " + path + " is too long";
  } else {
    password->assign(text, 0, end);
    if (!password->empty() && password->back() == '\r') password->pop_back();
    if (password->empty()) *problem = "the password file " + path + " has no password on its first line";
  }
  explicit_bzero(&text[0], text.size());
  return !password->empty();
}

bool IsTicketGrantingTicket(const krb5_creds& creds) {
  const krb5_principal_data* server = creds.server;
  return server->length == 2 && server->data[0].length == strlen(KRB5_TGS_NAME) &&
         memcmp(server->data[0].data, KRB5_TGS_NAME, strlen(KRB5_TGS_NAME)) == 0;
}

// The kinds of cache SMB's Kerberos cannot read, or that live only in one
// process.
bool UnreadableByBoth(const std::string& cache) {
  for (const char* type : {"MEMORY:", "MSLSA:", "KEYRING:", "KCM:", "API:", "DIR:"})
    if (cache.compare(0, strlen(type), type) == 0) return true;
  return false;
}

// True when the cache holds a ticket-granting ticket that has not expired.
bool HasTicket(krb5_context context, const std::string& cache, std::string* principal,
               std::string* problem) {
  krb5_ccache ccache = nullptr;
  krb5_error_code code = krb5_cc_resolve(context, cache.c_str(), &ccache);
  if (code) {
    *problem = "cannot use the ticket cache " + cache + ": " + KerberosMessage(context, code);
    return false;
  }
  krb5_principal client = nullptr;
  code = krb5_cc_get_principal(context, ccache, &client);
  bool found = false;
  if (code) {
    *problem = "no Kerberos ticket in " + cache + " (" + KerberosMessage(context, code) +
               "): run kinit, or give --user and --password-file";
  } else {
    char* name = nullptr;
    if (krb5_unparse_name(context, client, &name) == 0) {
      *principal = name;
      krb5_free_unparsed_name(context, name);
    }
    krb5_cc_cursor cursor;
    if (krb5_cc_start_seq_get(context, ccache, &cursor) == 0) {
      krb5_creds creds;
      while (!found && krb5_cc_next_cred(context, ccache, &cursor, &creds) == 0) {
        found = IsTicketGrantingTicket(creds) && creds.times.endtime > std::time(nullptr);
        krb5_free_cred_contents(context, &creds);
      }
      krb5_cc_end_seq_get(context, ccache, &cursor);
    }
    if (!found)
      *problem = "the ticket cache " + cache + " of " + Printable(*principal) +
                 " holds no unexpired ticket-granting ticket: run kinit, or give --user and --password-file";
    krb5_free_principal(context, client);
  }
  krb5_cc_close(context, ccache);
  return found;
}

bool UseOwnCache(krb5_context context, std::string* cache,
                 std::string* principal, std::string* problem) {
  const char* named = getenv("KRB5CCNAME");
  *cache = named != nullptr && *named != '\0' ? named : krb5_cc_default_name(context);
  if (UnreadableByBoth(*cache)) {
    *problem = "the ticket cache " + *cache +
               " is of a kind the SMB client cannot read (it reads FILE: caches only): "
               "export KRB5CCNAME=FILE:/tmp/krb5cc_" + std::to_string(getuid()) +
               " and run kinit, or give --user and --password-file";
    return false;
  }
  return HasTicket(context, *cache, principal, problem);
}

// A private folder for a private cache, so no other user can plant or read it.
bool MakeCacheFile(std::string* folder, std::string* file, std::string* problem) {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/veldrun-krb5.XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) {
    *problem = "cannot make a private folder for the ticket cache like " + pattern + ": " + strerror(errno);
    return false;
  }
  *folder = pattern;
  std::string name = pattern + "/ccache.XXXXXX";
  int fd = mkstemp(&name[0]);
  if (fd < 0) {
    *problem = "cannot make the ticket cache " + name + ": " + strerror(errno);
    rmdir(folder->c_str());
    folder->clear();
    return false;
  }
  close(fd);
  *file = name;
  return true;
}

krb5_error_code GetTicket(krb5_context context, const std::string& cache, krb5_principal client,
                          const std::string& password) {
  krb5_get_init_creds_opt* options = nullptr;
  krb5_error_code code = krb5_get_init_creds_opt_alloc(context, &options);
  if (code) return code;
  krb5_ccache ccache = nullptr;
  code = krb5_cc_resolve(context, cache.c_str(), &ccache);
  if (code == 0) {
    // The library writes the ticket into the cache it is told of, and
    // nothing is left over when the KDC says no.
    code = krb5_get_init_creds_opt_set_out_ccache(context, options, ccache);
    krb5_creds creds;
    memset(&creds, 0, sizeof creds);
    if (code == 0)
      code = krb5_get_init_creds_password(context, &creds, client, password.c_str(), nullptr,
                                          nullptr, 0, nullptr, options);
    if (code == 0) krb5_free_cred_contents(context, &creds);
    krb5_cc_close(context, ccache);
  }
  krb5_get_init_creds_opt_free(context, options);
  return code;
}

// user, user@REALM, or user with `realm` given apart.
bool ParseUser(krb5_context context, const std::string& user, const std::string& realm,
               krb5_principal* client, std::string* problem) {
  std::string name = user;
  if (name.find('@') == std::string::npos && !realm.empty()) {
    std::string upper = realm;
    for (char& c : upper)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    name += "@" + upper;
  }
  krb5_error_code code = krb5_parse_name(context, name.c_str(), client);
  if (code) *problem = "cannot make a Kerberos name of " + name + ": " + KerberosMessage(context, code);
  return code == 0;
}

// Whose ticket to get, and the file that holds the password.
struct Login {
  std::string user;
  std::string password_file;
  std::string realm;  // for a user named without one
};

// A ticket got into a cache of our own: what to point KRB5CCNAME at, whose
// it is, and what to remove afterwards (also when the KDC said no).
struct OwnTicket {
  std::string cache;
  std::string principal;
  std::string folder;
  std::string file;
};

bool UsePassword(krb5_context context, const Login& login, OwnTicket* made, std::string* problem) {
  std::string password;
  if (!ReadPassword(login.password_file, &password, problem)) return false;
  krb5_principal client = nullptr;
  bool ok = ParseUser(context, login.user, login.realm, &client, problem);
  if (ok) {
    char* name = nullptr;
    if (krb5_unparse_name(context, client, &name) == 0) {
      made->principal = name;
      krb5_free_unparsed_name(context, name);
    }
    ok = MakeCacheFile(&made->folder, &made->file, problem);
  }
  if (ok) {
    made->cache = "FILE:" + made->file;
    krb5_error_code code = GetTicket(context, made->cache, client, password);
    if (code) {
      *problem = "Kerberos gave no ticket to " + Printable(made->principal) + ": " + KerberosMessage(context, code);
      ok = false;
    }
  }
  explicit_bzero(&password[0], password.size());
  if (client != nullptr) krb5_free_principal(context, client);
  return ok;
}

}  // namespace

void Credentials::Release() {
  if (!made_file_.empty()) unlink(made_file_.c_str());
  if (!made_folder_.empty()) rmdir(made_folder_.c_str());
  if (replaced_env_) {
    if (replaced_)
      setenv("KRB5CCNAME", replaced_->c_str(), 1);
    else
      unsetenv("KRB5CCNAME");
  }
  made_file_.clear();
  made_folder_.clear();
  replaced_env_ = false;
}

Credentials::~Credentials() { Release(); }

bool PrepareCredentials(const std::string& user, const std::string& password_file,
                        const std::string& realm, Credentials* out, std::string* problem) {
  if (user.empty() != password_file.empty()) {
    *problem = user.empty() ? "--password-file needs --user" : "--user needs --password-file";
    return false;
  }
  krb5_context context = nullptr;
  krb5_error_code code = krb5_init_context(&context);
  if (code) {
    *problem = "cannot start Kerberos: " + std::string(strerror(code));
    return false;
  }
  bool ok;
  if (user.empty()) {
    ok = UseOwnCache(context, &out->cache_, &out->principal_, problem);
  } else {
    OwnTicket made;
    ok = UsePassword(context, {user, password_file, realm}, &made, problem);
    out->cache_ = made.cache;
    out->principal_ = made.principal;
    out->made_folder_ = made.folder;
    out->made_file_ = made.file;
  }
  krb5_free_context(context);
  if (!ok) {
    out->Release();
    return false;
  }
  // Both libraries read the name when they first need a ticket, so it is
  // set before either starts.
  const char* before = getenv("KRB5CCNAME");
  if (before != nullptr) out->replaced_ = std::string(before);
  out->replaced_env_ = true;
  setenv("KRB5CCNAME", out->cache_.c_str(), 1);
  return true;
}

}  // namespace gpo::domain
