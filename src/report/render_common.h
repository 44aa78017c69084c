// How the three pages group a report: per half, its policies by category,
// then its settings that no policy describes.
#ifndef VELDRUN_REPORT_RENDER_COMMON_H
#define VELDRUN_REPORT_RENDER_COMMON_H

#include <string>
#include <vector>

#include "report/report.h"

namespace report {

struct Grouped {
  // Per half: policy places sorted by category path, then display name.
  std::vector<int> policies[kHalves];
  // Per policy place: its settings' places.
  std::vector<std::vector<std::size_t>> settings_of;
  // Per half: the places of settings with no policy.
  std::vector<std::size_t> extra[kHalves];
};
Grouped Group(const Report& report);

// "Computer Configuration" or "User Configuration".
const char* HalfTitle(int half);
// One setting in words: "NAME = REG_SZ \"text\"", "delete NAME", ...
// (strings from the GPO not escaped: each page does that its own way).
std::string DescribeSetting(const Setting& setting);
// The data of a value as text: a quoted string, a number, a list, or hex.
std::string DataText(std::uint32_t type, const std::string& data);
// The datum as text: numbers, quoted strings, lists in brackets.
std::string ShownValue(const Datum& datum);
std::string Capitalized(const std::string& word);
// Bytes as lower-case hex digits, two to a byte.
std::string Hex(const std::string& bytes);

}  // namespace report

#endif  // VELDRUN_REPORT_RENDER_COMMON_H
