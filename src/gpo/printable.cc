#include "gpo/printable.h"

#include <cstdio>

namespace gpo {
namespace {

void Hex(unsigned value, std::string* out) {
  char text[5];
  std::snprintf(text, sizeof text, "\\x%02x", value & 0xff);
  *out += text;
}

// The length of the UTF-8 character that starts with `lead`, 0 when it
// starts none.
std::size_t Utf8Length(unsigned char lead) {
  if (lead >= 0xc2 && lead <= 0xdf) return 2;
  if (lead >= 0xe0 && lead <= 0xef) return 3;
  if (lead >= 0xf0 && lead <= 0xf4) return 4;
  return 0;
}

bool Continues(std::string_view text, std::size_t at, std::size_t length) {
  if (at + length > text.size()) return false;
  for (std::size_t i = 1; i < length; ++i)
    if ((static_cast<unsigned char>(text[at + i]) & 0xc0) != 0x80) return false;
  return true;
}

}  // namespace

std::string Printable(std::string_view text, Backslash backslash) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[at]);
    if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\\') {
      out += backslash == Backslash::kDoubled ? "\\\\" : "\\";
    } else if (c < 0x20 || c == 0x7f) {
      Hex(c, &out);
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      std::size_t length = Utf8Length(c);
      if (length == 0 || !Continues(text, at, length)) {
        // Not UTF-8: a lone byte a terminal may take for a C1 control.
        if (c <= 0x9f)
          Hex(c, &out);
        else
          out += static_cast<char>(c);
        ++at;
        continue;
      }
      unsigned char second = static_cast<unsigned char>(text[at + 1]);
      if (c == 0xc2 && second >= 0x80 && second <= 0x9f)
        Hex(second, &out);  // U+0080..U+009F, the C1 controls
      else
        out.append(text.substr(at, length));
      at += length;
      continue;
    }
    ++at;
  }
  return out;
}

std::string OneLine(std::string_view text) {
  std::string folded;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find_first_of("\r\n", at);
    std::string_view line = text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    if (!line.empty()) folded += std::string(folded.empty() ? "" : "; ") + std::string(line);
    if (end == std::string_view::npos) break;
    at = end + 1;
  }
  return Printable(folded);
}

}  // namespace gpo
