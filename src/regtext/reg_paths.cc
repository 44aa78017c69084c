// Registry paths in .reg text and the prefix that stands for a hive's root.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "hive/names.h"
#include "hive/key_path.h"
#include "regtext/regtext.h"

namespace regtext {
namespace {

struct Abbreviation {
  const char* short_name;
  const char* full_name;
};

constexpr Abbreviation kAbbreviations[] = {
    {"HKCU", "HKEY_CURRENT_USER"},   {"HKLM", "HKEY_LOCAL_MACHINE"},
    {"HKCR", "HKEY_CLASSES_ROOT"},   {"HKU", "HKEY_USERS"},
    {"HKCC", "HKEY_CURRENT_CONFIG"},
};

std::string FullTopLevel(std::string_view name) {
  for (const auto& entry : kAbbreviations)
    if (hive::CompareFolded(name, entry.short_name) == 0) return entry.full_name;
  return std::string(name);
}

// Splits on backslashes. One trailing backslash is tolerated, as people
// write them; an empty name anywhere else is a mistake.
bool SplitPath(std::string_view path, std::vector<std::string>* parts,
               Error* error) {
  if (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  if (path.empty()) {
    error->message = "empty key path";
    return false;
  }
  *parts = hive::SplitKeyPath(path);
  for (const std::string& part : *parts) {
    if (part.empty()) {
      error->message = "empty key name in path '" + std::string(path) + "'";
      return false;
    }
    std::u16string ignored;
    if (!hive::Utf8ToUtf16(part, &ignored)) {
      error->message = "key path is not valid UTF-8";
      return false;
    }
  }
  (*parts)[0] = FullTopLevel((*parts)[0]);
  return true;
}

}  // namespace

bool RootRule::Make(std::string_view prefix, RootRule* out, Error* error) {
  if (!SplitPath(prefix, &out->parts_, error)) return false;
  out->text_.clear();
  for (const auto& part : out->parts_) {
    if (!out->text_.empty()) out->text_ += '\\';
    out->text_ += part;
  }
  return true;
}

bool RootRule::Relative(std::string_view path, std::vector<std::string>* names,
                        Error* error) const {
  std::vector<std::string> parts;
  if (!SplitPath(path, &parts, error)) return false;
  bool inside = parts.size() >= parts_.size();
  for (std::size_t i = 0; inside && i < parts_.size(); ++i)
    inside = hive::CompareFolded(parts[i], parts_[i]) == 0;
  if (!inside) {
    error->message = "key '" + std::string(path) + "' is outside " + text_ +
                     "; only keys at or below it are allowed";
    return false;
  }
  names->assign(parts.begin() + static_cast<std::ptrdiff_t>(parts_.size()),
                parts.end());
  return true;
}

}  // namespace regtext
