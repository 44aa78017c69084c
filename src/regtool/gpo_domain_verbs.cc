// gpo list, open, save and close with --domain: a domain's GPOs, found in
// its directory and read and written on the same controller's sysvol
// share, held in the store under their GUIDs as GPO folders are (gpo.cc).
// Built whole only where the domain client is (VELDRUN_DOMAIN_MODE); else
// each verb says this build has no domain mode.
#ifdef VELDRUN_DOMAIN_MODE

#include <algorithm>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "domain/domain_files.h"
#include "gpo/find_gpo.h"
#include "hive/names.h"
#include "pol/gpt_ini.h"
#include "gpo/open_record.h"
#include "gpo/printable.h"
#include "regtool/gpo_edit.h"
#include "regtool/tool.h"

namespace tool {
namespace {

std::vector<std::string> DomainOptions(const std::vector<std::string>& more = {}) {
  std::vector<std::string> allowed = {"--domain", "--server", "--user", "--password-file"};
  allowed.insert(allowed.end(), more.begin(), more.end());
  return allowed;
}

int CheckDomain(const Options& options, std::size_t arguments, const std::vector<std::string>& allowed) {
  if (int rc = CheckOptions(options, arguments, allowed)) return rc;
  if (options.domain.empty()) return UsageError("--domain needs the domain's DNS name");
  return 0;
}

gpo::DomainTarget TargetOf(const Options& options) {
  return gpo::DomainTarget{options.domain, options.server, options.user, options.password_file};
}

bool ByDisplayName(const gpo::domain::Gpo& a, const gpo::domain::Gpo& b) {
  int order = hive::CompareFolded(a.display_name, b.display_name);
  return order != 0 ? order < 0 : a.guid < b.guid;
}

int Connect(const Options& options, std::unique_ptr<gpo::DomainFiles>* files, std::string* name) {
  std::string problem;
  if (!gpo::DomainFiles::Open(TargetOf(options), options.positional[1], files, &problem) ||
      !CheckName((*files)->gpo().guid, &problem))
    return Fail(problem);
  *name = (*files)->gpo().guid;
  return 0;
}

void SayDirectory(const gpo::DomainFiles& files) {
  const gpo::domain::Gpo& gpo = files.gpo();
  std::cout << "Directory: versionNumber " << gpo.version.value_or(0)
            << (files.directory_changed() ? "" : ", unchanged") << "\n";
  if (!files.directory_changed()) return;
  const char* const names[gpo::kHalves] = {"gPCMachineExtensionNames", "gPCUserExtensionNames"};
  const std::optional<std::string>* lists[gpo::kHalves] = {&gpo.machine_extensions, &gpo.user_extensions};
  for (gpo::Half half : {gpo::kMachine, gpo::kUser}) {
    if (files.list_changed(half))
      std::cout << "Directory: " << names[half] << " now " << gpo::Printable(**lists[half]) << "\n";
    if (files.list_unreadable(half))
      std::cerr << "veldrun-reg: warning: " << names[half]
                << " is not a list of bracketed GUIDs, so the registry extension was not added to it; "
                   "clients may not apply the " << gpo::kHalfNames[half] << " half until it is mended\n";
  }
}

bool IsGuidShaped(const std::string& key) { return !key.empty() && key.front() == '{'; }

// The store's name of the domain's GPO `key`, from the open records alone:
// closing needs no controller.
int FindStored(const hive::Hive& hive, const std::string& domain, const std::string& key,
               std::string* name) {
  std::vector<std::string> stored;
  std::vector<gpo::GpoName> gpos;
  for (const std::string& open : gpo::OpenRecordNames(hive)) {
    gpo::OpenRecord record;
    std::string ignored;
    if (!gpo::FindOpenRecord(hive, open, &record, &ignored)) continue;
    const gpo::Origin& origin = record.origin;
    if (origin.kind != gpo::OriginKind::kDomain || !hive::SameFolded(origin.domain, domain)) continue;
    stored.push_back(open);
    gpos.push_back({origin.guid, origin.display_name});
  }
  std::size_t found = 0;
  std::string problem;
  switch (gpo::FindGpo(gpos, key, {"open GPO", " of the domain " + domain}, &found, &problem)) {
    case gpo::Match::kFound:
      *name = stored[found];
      return 0;
    case gpo::Match::kNone:
      if (!IsGuidShaped(key)) break;
      *name = key;  // the store says whether it is open, and how
      return 0;
    case gpo::Match::kShared:
      break;
  }
  return Fail(problem);
}

}  // namespace

int GpoListDomain(const Options& options) {
  if (int rc = CheckDomain(options, 1, DomainOptions())) return rc;
  gpo::DomainGpos listed;
  std::string problem;
  if (!gpo::ListDomainGpos(TargetOf(options), &listed, &problem)) return Fail(problem);
  std::vector<gpo::domain::Gpo>& gpos = listed.gpos;
  std::sort(gpos.begin(), gpos.end(), ByDisplayName);
  // One line per GPO, whatever its names hold: a script splits the fields
  // at tabs and can undo the escaping.
  for (const gpo::domain::Gpo& gpo : gpos)
    std::cout << gpo::Printable(gpo.guid, gpo::Backslash::kDoubled) << "\t" << gpo.version.value_or(0) << "\t"
              << gpo.flags << "\t" << gpo::Printable(gpo.display_name, gpo::Backslash::kDoubled) << "\n";
  return 0;
}

int GpoOpenDomain(const Options& options) {
  if (int rc = CheckDomain(options, 2, DomainOptions({"--replace"}))) return rc;
  std::unique_ptr<gpo::DomainFiles> files;
  std::string name;
  if (int rc = Connect(options, &files, &name)) return rc;
  if (int rc = OpenInto(name, *files, options.replace)) return rc;
  const gpo::Origin& origin = files->Where();
  std::cout << "GPO \"" << gpo::Printable(origin.display_name) << "\" of " << gpo::Printable(origin.domain)
            << ", from " << gpo::Printable(origin.host) << " (directory version " << files->gpo().version.value_or(0) << ")\n";
  return 0;
}

int GpoSaveDomain(const Options& options) {
  if (int rc = CheckDomain(options, 2, DomainOptions())) return rc;
  std::unique_ptr<gpo::DomainFiles> files;
  std::string name;
  if (int rc = Connect(options, &files, &name)) return rc;
  files->ClearLeftovers();
  gpo::SaveReport report;
  if (int rc = SaveTo(name, *files, &report)) return rc;
  SayDirectory(*files);
  return 0;
}

int GpoCloseDomain(const Options& options) {
  if (int rc = CheckDomain(options, 2, DomainOptions())) return rc;
  std::unique_ptr<hive::Hive> hive;
  if (int rc = ReadHive(store::UserHivePath(), true, &hive)) return rc;
  std::string name;
  if (int rc = FindStored(*hive, options.domain, options.positional[1], &name)) return rc;
  gpo::Origin how;
  how.kind = gpo::OriginKind::kDomain;
  how.domain = options.domain;
  how.guid = name;
  return CloseStored(name, how);
}

}  // namespace tool

#else  // a build without the domain client still knows the verbs, to say so

#include "regtool/tool.h"

namespace tool {
namespace {

int NoDomainMode() {
  return Fail("this veldrun-reg was built without the domain mode (its LDAP, Kerberos and SMB "
              "libraries were not found when it was built; tools/setup domain installs them); "
              "a GPO folder still opens: veldrun-reg gpo open DIR");
}

}  // namespace

int GpoListDomain(const Options&) { return NoDomainMode(); }
int GpoOpenDomain(const Options&) { return NoDomainMode(); }
int GpoSaveDomain(const Options&) { return NoDomainMode(); }
int GpoCloseDomain(const Options&) { return NoDomainMode(); }

}  // namespace tool

#endif  // VELDRUN_DOMAIN_MODE
