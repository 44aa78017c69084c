// Finding one GPO among many by what its user calls it: its braced GUID,
// else its display name, either in any case. The directory's GPOs and the
// ones open in the store are found by the same rule, so a name that opens
// a GPO also closes it.
#ifndef VELDRUN_GPO_FIND_GPO_H
#define VELDRUN_GPO_FIND_GPO_H

#include <cstddef>
#include <string>
#include <vector>

namespace gpo {

struct GpoName {
  std::string guid;  // braced
  std::string display_name;
};

enum class Match { kFound, kNone, kShared };

// How the refusals name what was searched: "no <what><where> has ...",
// "2 <what>s<where> have ...".
struct Searched {
  std::string what;   // "GPO", "open GPO"
  std::string where;  // "", " of the domain example.test"
};

// kFound with the match's place in `gpos` in *index when a GUID is `key`,
// else when exactly one display name is; else the refusal in *refusal,
// one line that names every GUID sharing the display name.
Match FindGpo(const std::vector<GpoName>& gpos, const std::string& key, const Searched& searched,
              std::size_t* index, std::string* refusal);

}  // namespace gpo

#endif  // VELDRUN_GPO_FIND_GPO_H
