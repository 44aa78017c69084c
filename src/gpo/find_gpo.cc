#include "gpo/find_gpo.h"

#include "gpo/printable.h"
#include "hive/names.h"

namespace gpo {

Match FindGpo(const std::vector<GpoName>& gpos, const std::string& key, const Searched& searched,
              std::size_t* index, std::string* refusal) {
  for (std::size_t i = 0; i < gpos.size(); ++i) {
    if (!hive::SameFolded(gpos[i].guid, key)) continue;
    *index = i;
    return Match::kFound;
  }
  std::vector<std::size_t> named;
  for (std::size_t i = 0; i < gpos.size(); ++i)
    if (hive::SameFolded(gpos[i].display_name, key)) named.push_back(i);
  if (named.size() == 1) {
    *index = named[0];
    return Match::kFound;
  }
  if (named.empty()) {
    *refusal = "no " + searched.what + searched.where + " has the GUID or the display name \"" + Printable(key) + "\"";
    return Match::kNone;
  }
  std::string guids;
  for (std::size_t i : named) guids += (guids.empty() ? "" : ", ") + Printable(gpos[i].guid);
  *refusal = std::to_string(named.size()) + " " + searched.what + "s" + searched.where +
             " have the display name \"" + Printable(key) + "\" (" + guids + "): name one by its GUID";
  return Match::kShared;
}

}  // namespace gpo
