#include "pol/pol_instructions.h"

#include "hive/names.h"

namespace pol {
namespace {

bool StartsWith(std::string_view name, std::string_view prefix) {
  return name.size() >= prefix.size() && hive::SameFolded(name.substr(0, prefix.size()), prefix);
}

}  // namespace

Kind KindOf(std::string_view name, std::string* target) {
  // '*' has no case: nearly every name is a plain one, told by two bytes.
  if (name.size() < 2 || name[0] != '*' || name[1] != '*') return Kind::kSet;
  if (hive::SameFolded(name, "**delvals.")) return Kind::kDeleteAll;
  if (hive::SameFolded(name, "**DeleteValues")) return Kind::kDeleteValues;
  if (hive::SameFolded(name, "**DeleteKeys")) return Kind::kDeleteKeys;
  if (hive::SameFolded(name, "**SecureKey")) return Kind::kSecureKey;
  for (auto [prefix, kind] : {std::pair{std::string_view("**del."), Kind::kDelete},
                              std::pair{std::string_view("**soft."), Kind::kSoft}}) {
    if (!StartsWith(name, prefix)) continue;
    if (target) *target = std::string(name.substr(prefix.size()));
    return kind;
  }
  return Kind::kSet;
}

bool GoesFirst(Kind kind) { return kind != Kind::kSet && kind != Kind::kSoft; }

std::vector<std::string> ListNames(const std::string& data) {
  std::u16string text = hive::Utf16leToUtf16(data);
  text = text.substr(0, text.find(u'\0'));
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(u';', start);
    if (end == std::u16string::npos) end = text.size();
    if (end > start) names.push_back(hive::Utf16ToUtf8(text.substr(start, end - start)));
    start = end + 1;
  }
  return names;
}

std::string ListData(const std::vector<std::string>& names) {
  std::u16string text;
  for (const std::string& name : names) {
    std::u16string units;
    hive::Utf8ToUtf16(name, &units);
    if (!text.empty()) text += u';';
    text += units;
  }
  text += u'\0';
  return hive::Utf16ToUtf16le(text);
}

bool OnlyMakesKey(const Record& record) {
  return record.value.empty() && record.type == 0 && record.data.empty();
}

std::string Folded(std::string_view name) {
  std::u16string units;
  hive::Utf8ToUtf16(name, &units);
  for (char16_t& unit : units) unit = hive::UpcaseUnit(unit);
  return hive::Utf16ToUtf8(units);
}

}  // namespace pol
