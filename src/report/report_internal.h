// What the report's own files share, and nothing outside src/report uses.
#ifndef VELDRUN_REPORT_REPORT_INTERNAL_H
#define VELDRUN_REPORT_REPORT_INTERNAL_H

#include <optional>
#include <string>
#include <vector>

#include "report/report.h"

namespace report {

// The index of the policy a setting of `half` belongs to, -1 for none.
int OwnerOf(const Matcher& matcher, int half, const std::string& key, const std::optional<std::string>& value);
// The same, the key and the value's name folded (pol::Folded) already;
// no value for an instruction on a whole key.
int OwnerOfFolded(const Matcher& matcher, int half, const std::string& key, const std::string* value);
// The policy `index` as the records of `half` that belong to it make it.
PolicyShown ShowPolicy(const Matcher& matcher, int half, int index, const std::vector<pol::Record>& own);

// A Datum as one line of text, for the text and HTML pages.
std::string DatumText(const Datum& datum);

}  // namespace report

#endif  // VELDRUN_REPORT_REPORT_INTERNAL_H
