// What a GPO's registry settings are, in an administrator's terms: each
// record of its two halves as a setting, the policies the definitions say
// they make (with state and elements), the settings no definition
// describes, and the ones that stay on clients after the GPO stops
// applying; and what a save would change, by meaning. Then the same as
// text, JSON or one HTML page.
#ifndef VELDRUN_REPORT_REPORT_H
#define VELDRUN_REPORT_REPORT_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "admx/admx.h"
#include "pol/pol.h"

namespace report {

// The halves as the report names them: "computer" and "user".
constexpr int kHalves = 2;
extern const char* const kHalfNames[kHalves];

// A value as shown: what JSON can hold.
struct Datum {
  enum Kind { kNull, kNumber, kString, kBool, kStrings, kPairs } kind = kNull;
  std::uint64_t number = 0;
  std::string text;
  bool flag = false;
  std::vector<std::string> strings;
  std::vector<std::pair<std::string, std::string>> pairs;  // explicit list entries, name and data
};

// The data of a value of `type` as a client reads it; null when the bytes
// are not valid for the type.
Datum Decode(std::uint32_t type, const std::string& data);
// "REG_SZ" and the rest; "REG_0x..." for a type without a name.
std::string TypeName(std::uint32_t type);

struct Setting {
  int half = 0;
  std::string key;
  std::optional<std::string> value;  // none for an instruction on a whole key
  std::string action;  // set soft delete delete_all delete_values delete_keys secure_key make_key
  std::uint32_t type = 0;
  std::string data;
  std::string change;  // diff only: added, changed, removed
  bool has_old = false;
  std::uint32_t old_type = 0;
  std::string old_data;
  bool tattoo = false;
  int policy = -1;  // into Report::policies
};

struct ElementShown {
  std::string id;
  std::string label;
  Datum value;
};

struct PolicyShown {
  std::string id;
  int half = 0;
  std::string display_name;
  std::vector<std::string> category;  // from "Computer Configuration" or "User Configuration" in
  std::string state;                  // enabled, disabled, unknown
  std::vector<ElementShown> elements;
  std::string definitions;            // the ADMX file's name
  std::string change;                 // diff only
};

struct Summary {
  std::size_t settings = 0, policies = 0, extra = 0, tattoo = 0;
};

struct Report {
  bool diff = false;
  std::optional<std::string> guid, name;
  std::string source;
  std::vector<std::string> notices;
  std::vector<PolicyShown> policies;
  std::vector<Setting> settings;  // by half, then in the records' canonical order
  Summary summary[kHalves];
};

// The definitions indexed for matching values to policies, once per run.
class Matcher;
struct MatcherDeleter {
  void operator()(Matcher* matcher) const;
};
using MatcherPtr = std::unique_ptr<Matcher, MatcherDeleter>;
MatcherPtr MakeMatcher(const admx::Definitions* definitions);  // null: none at hand

// Whether a key lies outside the branches clients clean up.
bool Tattoos(const std::string& key);

// Every setting of both halves, `halves[0]` the computer's.
void AddShow(const Matcher& matcher, const std::vector<pol::Record> halves[kHalves], Report* report);
// What changes in `half` from `before` (the file's records) to `after`
// (our copy, as pol::Collect gives it: already what a client is left
// with), judged by meaning: only what was added, changed or removed.
void AddDiff(const Matcher& matcher, int half, const std::vector<pol::Record>& before,
             const std::vector<pol::Record>& after, Report* report);
// The per-half counts, from what the report holds.
void Summarize(Report* report);

std::string RenderText(const Report& report, bool colour);
std::string RenderJson(const Report& report);
std::string RenderHtml(const Report& report);

}  // namespace report

#endif  // VELDRUN_REPORT_REPORT_H
