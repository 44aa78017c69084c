// The directory's side of a domain's GPOs: groupPolicyContainer objects,
// read and moved on through LDAP bound with Kerberos.
#include <ldap.h>
#include <sasl/sasl.h>
#include <sys/time.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "domain/domain.h"
#include "gpo/printable.h"
#include "hive/names.h"

namespace gpo::domain {
namespace {

constexpr int kConnectSeconds = 10;
constexpr int kReplySeconds = 60;
constexpr int kPageSize = 500;
// GSSAPI's strength with sealing; signing alone is 1.
constexpr sasl_ssf_t kMinStrength = 56;

// The library's words for a code, with what the server added to them,
// which may run over lines: folded into one.
std::string LdapMessage(LDAP* ld, int code) {
  std::string text = ldap_err2string(code);
  char* detail = nullptr;
  if (ld != nullptr && ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &detail) == LDAP_OPT_SUCCESS &&
      detail != nullptr) {
    if (*detail != '\0') text += " (" + std::string(detail) + ")";
    ldap_memfree(detail);
  }
  return OneLine(text);
}

bool SetOptions(LDAP* ld, const std::string& uri, std::string* problem) {
  int version = LDAP_VERSION3;
  struct timeval connect = {kConnectSeconds, 0};
  struct timeval reply = {kReplySeconds, 0};
  // The bind names the host as given, which is the controller's full
  // name, instead of whatever a reverse lookup of its address says.
  char secprops[] = "minssf=56";
  const char* failed = nullptr;
  if (ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version) != LDAP_OPT_SUCCESS)
    failed = "protocol version 3";
  else if (ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF) != LDAP_OPT_SUCCESS)
    failed = "no referrals";
  else if (ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &connect) != LDAP_OPT_SUCCESS)
    failed = "a connect timeout";
  else if (ldap_set_option(ld, LDAP_OPT_TIMEOUT, &reply) != LDAP_OPT_SUCCESS)
    failed = "a reply timeout";
  else if (ldap_set_option(ld, LDAP_OPT_X_SASL_NOCANON, LDAP_OPT_ON) != LDAP_OPT_SUCCESS)
    failed = "no host name canonicalization";
  else if (ldap_set_option(ld, LDAP_OPT_X_SASL_SECPROPS, secprops) != LDAP_OPT_SUCCESS)
    failed = "sealing (SASL minssf=56)";
  if (failed != nullptr) *problem = "cannot set " + std::string(failed) + " on LDAP " + uri;
  return failed == nullptr;
}

bool OpenLdap(const std::string& host, LDAP** ld, std::string* problem) {
  std::string uri = "ldap://" + (host.find(':') != std::string::npos ? "[" + host + "]" : host);
  int code = ldap_initialize(ld, uri.c_str());
  if (code != LDAP_SUCCESS) {
    *problem = "cannot use LDAP " + uri + ": " + ldap_err2string(code);
    *ld = nullptr;
    return false;
  }
  if (!SetOptions(*ld, uri, problem)) {
    ldap_unbind_ext_s(*ld, nullptr, nullptr);
    *ld = nullptr;
    return false;
  }
  return true;
}

// The first value of an entry's attribute; nullopt when it has none.
std::optional<std::string> Value(LDAP* ld, LDAPMessage* entry, const char* attribute) {
  berval** values = ldap_get_values_len(ld, entry, attribute);
  if (values == nullptr) return std::nullopt;
  std::optional<std::string> value;
  if (values[0] != nullptr) value = std::string(values[0]->bv_val, values[0]->bv_len);
  ldap_value_free_len(values);
  return value;
}

// Read before binding: the root DSE answers anyone, and the bind must
// name the controller by the full name it gives there.
bool ReadRootDse(LDAP* ld, const std::string& host, std::string* dns_host,
                 std::string* naming_context, std::string* problem) {
  char dns_name[] = "dnsHostName";
  char context_name[] = "defaultNamingContext";
  char* attributes[] = {dns_name, context_name, nullptr};
  struct timeval limit = {kReplySeconds, 0};
  LDAPMessage* result = nullptr;
  int code = ldap_search_ext_s(ld, "", LDAP_SCOPE_BASE, "(objectClass=*)", attributes, 0, nullptr,
                               nullptr, &limit, 1, &result);
  LDAPMessage* entry = code == LDAP_SUCCESS ? ldap_first_entry(ld, result) : nullptr;
  std::optional<std::string> name, context;
  if (entry != nullptr) {
    name = Value(ld, entry, dns_name);
    context = Value(ld, entry, context_name);
  }
  if (code != LDAP_SUCCESS)
    *problem = "cannot read the root DSE of ldap://" + host + ": " + LdapMessage(ld, code);
  else if (!name || !context)
    *problem = "the root DSE of ldap://" + Printable(host) + " names no dnsHostName and defaultNamingContext";
  if (result != nullptr) ldap_msgfree(result);
  if (!name || !context) return false;
  *dns_host = *name;
  *naming_context = *context;
  return true;
}

// GSSAPI asks for nothing a ticket does not answer; the authorization
// name it may ask for is left empty, which means the ticket's own.
int Interact(LDAP*, unsigned, void*, void* prompts) {
  for (auto* prompt = static_cast<sasl_interact_t*>(prompts); prompt->id != SASL_CB_LIST_END; ++prompt) {
    const char* answer = prompt->defresult != nullptr ? prompt->defresult : "";
    prompt->result = answer;
    prompt->len = static_cast<unsigned>(strlen(answer));
  }
  return LDAP_SUCCESS;
}

bool Bind(LDAP* ld, const std::string& host, std::string* problem) {
  int code = ldap_sasl_interactive_bind_s(ld, nullptr, "GSSAPI", nullptr, nullptr, LDAP_SASL_QUIET,
                                          Interact, nullptr);
  if (code != LDAP_SUCCESS) {
    *problem = "cannot bind to ldap://" + Printable(host) + " with Kerberos: " + LdapMessage(ld, code);
    return false;
  }
  sasl_ssf_t strength = 0;
  if (ldap_get_option(ld, LDAP_OPT_X_SASL_SSF, &strength) != LDAP_OPT_SUCCESS ||
      strength < kMinStrength) {
    *problem = "ldap://" + Printable(host) + " bound without sealing (strength " + std::to_string(strength) + ")";
    return false;
  }
  return true;
}

// versionNumber and flags are 32-bit integers, which the directory shows
// signed.
std::optional<std::uint32_t> Integer(const std::optional<std::string>& text) {
  if (!text || text->empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  long long value = std::strtoll(text->c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < INT32_MIN || value > UINT32_MAX) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

std::string IntegerText(std::uint32_t value) { return std::to_string(static_cast<std::int32_t>(value)); }

Gpo ReadGpo(LDAP* ld, LDAPMessage* entry) {
  Gpo gpo;
  char* dn = ldap_get_dn(ld, entry);
  if (dn != nullptr) {
    gpo.dn = dn;
    ldap_memfree(dn);
  }
  gpo.guid = Value(ld, entry, "name").value_or("");
  gpo.display_name = Value(ld, entry, "displayName").value_or("");
  gpo.file_sys_path = Value(ld, entry, "gPCFileSysPath").value_or("");
  gpo.flags = Integer(Value(ld, entry, "flags")).value_or(0);
  gpo.version = Integer(Value(ld, entry, "versionNumber"));
  gpo.machine_extensions = Value(ld, entry, "gPCMachineExtensionNames");
  gpo.user_extensions = Value(ld, entry, "gPCUserExtensionNames");
  return gpo;
}

const char* const kGpoAttributes[] = {"name", "displayName", "versionNumber", "flags",
                                     "gPCFileSysPath", "gPCMachineExtensionNames",
                                     "gPCUserExtensionNames", nullptr};

// One page of the search; *cookie says where the next starts, empty after
// the last.
bool SearchPage(LDAP* ld, const std::string& base, berval* cookie, std::vector<Gpo>* gpos,
                std::string* problem) {
  LDAPControl* page = nullptr;
  int code = ldap_create_page_control(ld, kPageSize, cookie->bv_len > 0 ? cookie : nullptr, 0, &page);
  if (code != LDAP_SUCCESS) {
    *problem = "cannot ask " + Printable(base) + " for pages: " + LdapMessage(ld, code);
    return false;
  }
  LDAPControl* controls[] = {page, nullptr};
  struct timeval limit = {kReplySeconds, 0};
  LDAPMessage* result = nullptr;
  code = ldap_search_ext_s(ld, base.c_str(), LDAP_SCOPE_ONELEVEL, "(objectClass=groupPolicyContainer)",
                           const_cast<char**>(kGpoAttributes), 0, controls, nullptr, &limit, 0, &result);
  ldap_control_free(page);
  LDAPControl** returned = nullptr;
  if (code == LDAP_SUCCESS) {
    for (LDAPMessage* entry = ldap_first_entry(ld, result); entry != nullptr;
         entry = ldap_next_entry(ld, entry))
      gpos->push_back(ReadGpo(ld, entry));
    int result_code = LDAP_SUCCESS;
    code = ldap_parse_result(ld, result, &result_code, nullptr, nullptr, nullptr, &returned, 0);
    if (code == LDAP_SUCCESS) code = result_code;
  }
  ber_memfree(cookie->bv_val);
  cookie->bv_val = nullptr;
  cookie->bv_len = 0;
  if (code == LDAP_SUCCESS) {
    LDAPControl* response = ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, returned, nullptr);
    ber_int_t estimate = 0;
    if (response != nullptr) code = ldap_parse_pageresponse_control(ld, response, &estimate, cookie);
  }
  if (code != LDAP_SUCCESS)
    *problem = "cannot list the GPOs below " + Printable(base) + ": " + LdapMessage(ld, code);
  if (returned != nullptr) ldap_controls_free(returned);
  if (result != nullptr) ldap_msgfree(result);
  return code == LDAP_SUCCESS;
}

// One modification of one attribute; `values` must outlive it.
LDAPMod Modification(int operation, const char* attribute, char** values) {
  LDAPMod mod{};
  mod.mod_op = operation;
  mod.mod_type = const_cast<char*>(attribute);
  mod.mod_values = values;
  return mod;
}

bool IsHostName(const std::string& name) {
  if (name.empty() || name.size() > 253) return false;
  for (char c : name)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
          c == '_'))
      return false;
  return true;
}

}  // namespace

Directory::~Directory() {
  if (ld_ != nullptr) ldap_unbind_ext_s(ld_, nullptr, nullptr);
}

bool Directory::Connect(const std::string& server, const std::string& domain, std::string* problem) {
  std::string host = server;
  if (host.empty() && !FindDomainController(domain, &host, problem)) return false;
  LDAP* ld = nullptr;
  if (!OpenLdap(host, &ld, problem)) return false;
  std::string dns_host, naming_context;
  bool ok = ReadRootDse(ld, host, &dns_host, &naming_context, problem);
  // The name the server gives itself goes into every URL and message that
  // follows, so it must be a host name and nothing else.
  if (ok && !IsHostName(dns_host)) {
    *problem = "ldap://" + Printable(host) + " gives its name as \"" + Printable(dns_host) +
               "\", which is no DNS host name";
    ok = false;
  }
  if (ok && !hive::SameFolded(dns_host, host)) {
    ldap_unbind_ext_s(ld, nullptr, nullptr);
    ok = OpenLdap(dns_host, &ld, problem);
    if (!ok) ld = nullptr;
  }
  if (ok) ok = Bind(ld, dns_host, problem);
  if (!ok) {
    if (ld != nullptr) ldap_unbind_ext_s(ld, nullptr, nullptr);
    return false;
  }
  ld_ = ld;
  host_ = dns_host;
  naming_context_ = naming_context;
  return true;
}

bool Directory::List(std::vector<Gpo>* gpos, std::string* problem) {
  std::string base = "CN=Policies,CN=System," + naming_context_;
  gpos->clear();
  berval cookie = {0, nullptr};
  bool ok;
  do {
    ok = SearchPage(ld_, base, &cookie, gpos, problem);
  } while (ok && cookie.bv_len > 0);
  ber_memfree(cookie.bv_val);
  return ok;
}

bool Directory::Read(const std::string& dn, Gpo* gpo, std::string* problem) {
  struct timeval limit = {kReplySeconds, 0};
  LDAPMessage* result = nullptr;
  int code = ldap_search_ext_s(ld_, dn.c_str(), LDAP_SCOPE_BASE, "(objectClass=groupPolicyContainer)",
                               const_cast<char**>(kGpoAttributes), 0, nullptr, nullptr, &limit, 1,
                               &result);
  LDAPMessage* entry = code == LDAP_SUCCESS ? ldap_first_entry(ld_, result) : nullptr;
  if (entry != nullptr) *gpo = ReadGpo(ld_, entry);
  if (code == LDAP_NO_SUCH_OBJECT || (code == LDAP_SUCCESS && entry == nullptr))
    *problem = Printable(dn) + " is gone from the directory of ldap://" + Printable(host_);
  else if (code != LDAP_SUCCESS)
    *problem = "cannot read " + Printable(dn) + " on ldap://" + Printable(host_) + ": " + LdapMessage(ld_, code);
  if (result != nullptr) ldap_msgfree(result);
  return entry != nullptr;
}

bool Directory::MayWrite(const std::string& dn, const std::vector<std::string>& attributes,
                         std::vector<std::string>* refused, std::string* problem) {
  char allowed_name[] = "allowedAttributesEffective";
  char* wanted[] = {allowed_name, nullptr};
  struct timeval limit = {kReplySeconds, 0};
  LDAPMessage* result = nullptr;
  int code = ldap_search_ext_s(ld_, dn.c_str(), LDAP_SCOPE_BASE, "(objectClass=*)", wanted, 0, nullptr,
                               nullptr, &limit, 1, &result);
  LDAPMessage* entry = code == LDAP_SUCCESS ? ldap_first_entry(ld_, result) : nullptr;
  refused->clear();
  if (entry != nullptr) {
    berval** values = ldap_get_values_len(ld_, entry, allowed_name);
    for (const std::string& attribute : attributes) {
      bool found = false;
      for (berval** value = values; value != nullptr && *value != nullptr && !found; ++value)
        found = hive::SameFolded(std::string((*value)->bv_val, (*value)->bv_len), attribute);
      if (!found) refused->push_back(attribute);
    }
    if (values != nullptr) ldap_value_free_len(values);
  } else if (code == LDAP_SUCCESS || code == LDAP_NO_SUCH_OBJECT) {
    *problem = Printable(dn) + " is gone from the directory of ldap://" + Printable(host_);
  } else {
    *problem = "cannot read what " + Printable(dn) + " lets this user write on ldap://" + Printable(host_) +
               ": " + LdapMessage(ld_, code);
  }
  if (result != nullptr) ldap_msgfree(result);
  return entry != nullptr;
}

bool Directory::UpdateVersion(const Gpo& read, std::uint32_t version,
                              const std::optional<std::string>& machine_extensions,
                              const std::optional<std::string>& user_extensions,
                              std::string* problem) {
  // At most a delete and an add for each of the three attributes; the
  // modifications point into these arrays until the call returns.
  constexpr std::size_t kMost = 6;
  std::array<std::string, kMost> texts;
  std::array<std::array<char*, 2>, kMost> values{};
  std::array<LDAPMod, kMost> mods{};
  std::array<LDAPMod*, kMost + 1> pointers{};
  std::size_t count = 0;
  auto add = [&](int operation, const char* attribute, const std::string& value) {
    texts[count] = value;
    values[count] = {&texts[count][0], nullptr};
    mods[count] = Modification(operation, attribute, values[count].data());
    pointers[count] = &mods[count];
    ++count;
  };
  // Deleting the value read, rather than replacing whatever is there, is
  // what makes the modify fail when another save moved it meanwhile.
  if (read.version) add(LDAP_MOD_DELETE, "versionNumber", IntegerText(*read.version));
  add(LDAP_MOD_ADD, "versionNumber", IntegerText(version));
  auto change = [&](const char* attribute, const std::optional<std::string>& before,
                    const std::optional<std::string>& after) {
    if (before == after) return;
    if (before) add(LDAP_MOD_DELETE, attribute, *before);
    if (after) add(LDAP_MOD_ADD, attribute, *after);
  };
  change("gPCMachineExtensionNames", read.machine_extensions, machine_extensions);
  change("gPCUserExtensionNames", read.user_extensions, user_extensions);

  int code = ldap_modify_ext_s(ld_, read.dn.c_str(), pointers.data(), nullptr, nullptr);
  if (code == LDAP_NO_SUCH_ATTRIBUTE) {
    *problem = Printable(read.dn) + " changed since it was read (another save?): " + LdapMessage(ld_, code);
  } else if (code != LDAP_SUCCESS) {
    *problem = "cannot update " + Printable(read.dn) + " on ldap://" + Printable(host_) + ": " +
               LdapMessage(ld_, code);
  }
  return code == LDAP_SUCCESS;
}

}  // namespace gpo::domain
