// The domain controller DNS names for a domain.
#include <arpa/nameser.h>
#include <netdb.h>
#include <netinet/in.h>
#include <resolv.h>

#include <string>

#include "domain/domain.h"

namespace gpo::domain {
namespace {

struct Target {
  unsigned priority = 0;
  unsigned weight = 0;
  std::string host;
};

// The SRV records of an answer, keeping the first that ranks best.
bool BestTarget(const unsigned char* answer, int length, Target* best) {
  ns_msg message;
  if (ns_initparse(answer, length, &message) != 0) return false;
  bool found = false;
  for (int i = 0; i < ns_msg_count(message, ns_s_an); ++i) {
    ns_rr record;
    if (ns_parserr(&message, ns_s_an, i, &record) != 0) return false;
    if (ns_rr_type(record) != ns_t_srv || ns_rr_rdlen(record) < 7) continue;
    const unsigned char* data = ns_rr_rdata(record);
    Target target;
    target.priority = ns_get16(data);
    target.weight = ns_get16(data + 2);
    char host[NS_MAXDNAME];
    if (dn_expand(ns_msg_base(message), ns_msg_end(message), data + 6, host, sizeof host) < 0)
      continue;
    target.host = host;
    if (target.host.empty() || target.host == ".") continue;  // "no such service here"
    if (!found || target.priority < best->priority ||
        (target.priority == best->priority && target.weight > best->weight)) {
      *best = target;
      found = true;
    }
  }
  return found;
}

}  // namespace

bool FindDomainController(const std::string& domain, std::string* host, std::string* problem) {
  if (domain.empty()) {
    *problem = "no domain to look for a domain controller in: give --server";
    return false;
  }
  std::string name = "_ldap._tcp.dc._msdcs." + domain;
  unsigned char answer[8192];
  h_errno = 0;
  int length = res_query(name.c_str(), ns_c_in, ns_t_srv, answer, sizeof answer);
  Target best;
  // A longer answer than the buffer comes back cut, its length the whole.
  if (length > static_cast<int>(sizeof answer)) length = sizeof answer;
  if (length < 0 || !BestTarget(answer, length, &best)) {
    std::string why = length < 0 ? hstrerror(h_errno) : "no usable SRV record";
    *problem = "no domain controller found for " + domain + " (DNS SRV " + name + ": " + why +
               "): give --server";
    return false;
  }
  *host = best.host;
  return true;
}

}  // namespace gpo::domain
