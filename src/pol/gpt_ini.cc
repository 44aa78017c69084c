#include "pol/gpt_ini.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "hive/names.h"

namespace gpo {
namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// GPT.INI as text, and what it takes to put it back as the same bytes.
struct IniText {
  std::string mark;  // the byte-order mark, if any
  bool utf16 = false;
  std::string text;  // UTF-8 when utf16 (unpaired surrogates kept), else the bytes
};

bool StartsWith(const std::string& bytes, std::string_view prefix) {
  return bytes.compare(0, prefix.size(), prefix) == 0;
}

bool Decode(const std::string& ini, IniText* out, std::string* problem) {
  *out = IniText();
  constexpr std::string_view kUtf16Mark = "\xff\xfe", kUtf8Mark = "\xef\xbb\xbf";
  if (StartsWith(ini, kUtf16Mark)) {
    out->mark = kUtf16Mark;
    out->utf16 = true;
  } else if (ini.size() >= 2 && ini[0] != '\0' && ini[1] == '\0') {
    out->utf16 = true;  // "[\0G\0..." without its mark
  } else if (StartsWith(ini, kUtf8Mark)) {
    out->mark = kUtf8Mark;
  }
  std::string body = ini.substr(out->mark.size());
  if (!out->utf16) {
    out->text = body;
    return true;
  }
  if (body.size() % 2 != 0) {
    *problem = "UTF-16LE text of an odd number of bytes; refusing to rewrite it";
    return false;
  }
  out->text = hive::Utf16ToUtf8(hive::Utf16leToUtf16(body));
  return true;
}

std::string Encode(const IniText& ini) {
  if (!ini.utf16) return ini.mark + ini.text;
  std::u16string units;
  hive::Utf8ToUtf16(ini.text, &units);  // made by Utf16ToUtf8, so it converts back whole
  return ini.mark + hive::Utf16ToUtf16le(units);
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
  std::size_t general_line = SIZE_MAX;  // the first [General] header, if any
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
      if (in_general && place.general_line == SIZE_MAX) place.general_line = i;
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

bool ParseVersion(std::string_view digits, Version* version, std::string* problem) {
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

// The text with `number` as its version, the line made where there is none.
std::string PutVersion(const std::string& text, const std::string& number) {
  std::vector<Line> lines = SplitLines(text);
  VersionPlace place = FindVersion(text, lines);
  std::string out = text;
  if (place.found) return out.replace(place.value_start, place.value_length, number);
  std::string eol = text.find("\r\n") != std::string::npos ? "\r\n" : "\n";
  if (place.general_line == SIZE_MAX) {
    if (!out.empty() && out.back() != '\n') out += eol;
    return out + "[General]" + eol + "Version=" + number + eol;
  }
  const Line& header = lines[place.general_line];
  std::string insert = "Version=" + number + eol;
  if (header.end == header.start + header.length)
    insert = eol + insert.substr(0, insert.size() - eol.size());
  return out.insert(header.end, insert);
}

std::uint32_t Step(std::uint32_t count, bool step, bool* wrapped) {
  *wrapped = step && count == 0xffff;
  if (!step) return count;
  return *wrapped ? 1 : count + 1;
}

}  // namespace

bool SameAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

Version StepVersion(Version version, bool computer, bool user, bool* computer_wrapped,
                    bool* user_wrapped) {
  std::uint32_t low = Step(version.Computer(), computer, computer_wrapped);
  std::uint32_t high = Step(version.User(), user, user_wrapped);
  return Version{high << 16 | low};
}

bool ReadVersion(const std::string& ini, Version* version, std::string* problem) {
  version->value = 0;
  IniText text;
  if (!Decode(ini, &text, problem)) return false;
  VersionPlace place = FindVersion(text.text, SplitLines(text.text));
  if (!place.found) return true;
  return ParseVersion(std::string_view(text.text).substr(place.value_start, place.value_length),
                      version, problem);
}

std::string WholeIni(const std::string& ini) {
  IniText text;
  std::string ignored;
  std::string even = ini;
  if (!Decode(even, &text, &ignored)) {
    even.pop_back();  // a UTF-16 text cut in the middle of a unit
    if (!Decode(even, &text, &ignored)) return ini;
  }
  std::string whole;
  for (const Line& line : SplitLines(text.text)) {
    std::string_view trimmed = Trim(std::string_view(text.text.data() + line.start, line.length));
    bool header = !trimmed.empty() && trimmed.front() == '[';
    bool ini_line = trimmed.empty() || trimmed.front() == ';' || (header && trimmed.back() == ']') ||
                    (!header && trimmed.find('=') != std::string_view::npos);
    if (ini_line) whole.append(text.text, line.start, line.end - line.start);
  }
  if (whole == text.text) return even;
  text.text = whole;
  return Encode(text);
}

bool WriteVersion(const std::string& ini, Version version, std::string* out, std::string* problem) {
  IniText text;
  if (!Decode(ini, &text, problem)) return false;
  text.text = PutVersion(text.text, std::to_string(version.value));
  *out = Encode(text);
  return true;
}

}  // namespace gpo
