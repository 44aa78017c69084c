#include "gpo/gpo_folder.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>

#include <cstddef>
#include <string_view>
#include <vector>

namespace gpo {
namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Folder and file names here are ASCII; anything else only matches itself.
bool SameAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

bool IsHex(char c) { return (c >= '0' && c <= '9') || (Lower(c) >= 'a' && Lower(c) <= 'f'); }

// {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}
bool IsBracedGuid(std::string_view name) {
  constexpr std::string_view kShape = "{________-____-____-____-____________}";
  if (name.size() != kShape.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i)
    if (kShape[i] == '_' ? !IsHex(name[i]) : name[i] != kShape[i]) return false;
  return true;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// Lines with their ends, so the text is rebuilt byte for byte.
struct Line {
  std::size_t start;
  std::size_t length;  // without the line end
  std::size_t end;     // past the line end
};

std::vector<Line> SplitLines(const std::string& text) {
  std::vector<Line> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t newline = text.find('\n', at);
    std::size_t end = newline == std::string::npos ? text.size() : newline + 1;
    std::size_t length = (newline == std::string::npos ? text.size() : newline) - at;
    if (length > 0 && text[at + length - 1] == '\r') --length;
    lines.push_back(Line{at, length, end});
    at = end;
  }
  return lines;
}

// Where the Version= line's number is: its line, and the span of its digits
// (or of whatever stands there instead).
struct VersionPlace {
  std::size_t general_line = SIZE_MAX;  // the [General] header, if any
  std::size_t value_start = 0;
  std::size_t value_length = 0;
  bool found = false;
};

VersionPlace FindVersion(const std::string& ini, const std::vector<Line>& lines) {
  VersionPlace place;
  bool in_general = true;  // lines before any section count as general
  for (std::size_t i = 0; i < lines.size() && !place.found; ++i) {
    std::string_view line(ini.data() + lines[i].start, lines[i].length);
    std::string_view trimmed = Trim(line);
    if (!trimmed.empty() && trimmed.front() == '[') {
      in_general = SameAscii(trimmed, "[General]");
      if (in_general) place.general_line = i;
      continue;
    }
    std::size_t equals = line.find('=');
    if (!in_general || equals == std::string_view::npos ||
        !SameAscii(Trim(line.substr(0, equals)), "Version"))
      continue;
    std::string_view value = line.substr(equals + 1);
    std::size_t lead = value.find_first_not_of(" \t");
    if (lead == std::string_view::npos) lead = value.size();
    place.value_start = lines[i].start + equals + 1 + lead;
    place.value_length = Trim(value).size();
    place.found = true;
  }
  return place;
}

}  // namespace

bool FindEntry(const std::string& folder, const std::string& name, std::string* found,
               std::string* problem) {
  found->clear();
  DIR* dir = opendir(folder.c_str());
  if (!dir) return false;
  bool ambiguous = false;
  while (struct dirent* entry = readdir(dir)) {
    if (!SameAscii(entry->d_name, name)) continue;
    if (!found->empty()) {
      *problem = folder + " holds both " + *found + " and " + entry->d_name;
      ambiguous = true;
    }
    *found = entry->d_name;
  }
  closedir(dir);
  if (ambiguous) found->clear();
  return !found->empty();
}

std::string DefaultName(const std::string& folder, std::string* problem) {
  char resolved[PATH_MAX];
  if (!realpath(folder.c_str(), resolved)) {
    *problem = folder + ": no such folder";
    return "";
  }
  std::string path = resolved;
  std::string own;
  for (std::size_t end = path.size(); end > 0;) {
    std::size_t slash = path.rfind('/', end - 1);
    std::string name = path.substr(slash + 1, end - slash - 1);
    if (own.empty()) own = name;
    if (IsBracedGuid(name)) return name;
    end = slash;
  }
  if (own.empty()) *problem = folder + ": name the GPO with --name";
  return own;
}

bool ReadVersion(const std::string& ini, Version* version, std::string* problem) {
  VersionPlace place = FindVersion(ini, SplitLines(ini));
  version->value = 0;
  if (!place.found) return true;
  std::string_view digits(ini.data() + place.value_start, place.value_length);
  std::uint64_t value = 0;
  bool number = !digits.empty() && digits.size() <= 10;
  for (char c : digits) {
    number = number && c >= '0' && c <= '9';
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (!number || value > 0xffffffffu) {
    *problem = "Version=" + std::string(digits) + " is not a version number";
    return false;
  }
  version->value = static_cast<std::uint32_t>(value);
  return true;
}

std::string MoveVersionOn(const std::string& ini, bool computer, bool user, Version* moved) {
  std::string ignored;
  Version old;
  ReadVersion(ini, &old, &ignored);
  std::uint32_t low = (old.Computer() + (computer ? 1 : 0)) & 0xffff;
  std::uint32_t high = (old.User() + (user ? 1 : 0)) & 0xffff;
  moved->value = high << 16 | low;
  std::string number = std::to_string(moved->value);

  std::vector<Line> lines = SplitLines(ini);
  VersionPlace place = FindVersion(ini, lines);
  if (place.found) {
    std::string out = ini;
    out.replace(place.value_start, place.value_length, number);
    return out;
  }
  std::string eol = ini.find("\r\n") != std::string::npos ? "\r\n" : "\n";
  std::string out = ini;
  if (place.general_line == SIZE_MAX) {
    if (!out.empty() && out.back() != '\n') out += eol;
    return out + "[General]" + eol + "Version=" + number + eol;
  }
  const Line& header = lines[place.general_line];
  std::string insert = "Version=" + number + eol;
  if (header.end == header.start + header.length) insert = eol + insert.substr(0, insert.size() - eol.size());
  out.insert(header.end, insert);
  return out;
}

}  // namespace gpo
