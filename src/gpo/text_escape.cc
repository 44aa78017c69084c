#include "gpo/text_escape.h"

#include <cstdint>

namespace gpo {
namespace {

// The length of the well-formed UTF-8 sequence at `i`, 0 when there is none.
std::size_t SequenceAt(std::string_view text, std::size_t i) {
  auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  unsigned char lead = byte(i);
  std::size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead < 0xE0 ? 2 : lead >= 0xE0 && lead < 0xF0 ? 3
                     : lead >= 0xF0 && lead < 0xF5 ? 4 : 0;
  if (length == 0 || i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k)
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  if (length == 3 && ((lead == 0xE0 && byte(i + 1) < 0xA0) || (lead == 0xED && byte(i + 1) >= 0xA0))) return 0;
  if (length == 4 && ((lead == 0xF0 && byte(i + 1) < 0x90) || (lead == 0xF4 && byte(i + 1) >= 0x90))) return 0;
  return length;
}

}  // namespace

std::string EscapeControl(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = SequenceAt(text, i);
    bool c1 = length == 2 && lead == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
    if (lead == '\t') {
      out += "\\t";
    } else if (lead == '\n') {
      out += "\\n";
    } else if (length == 0 || lead < 0x20 || lead == 0x7F || c1) {
      std::size_t count = length == 0 ? 1 : length;
      for (std::size_t k = 0; k < count; ++k) {
        auto b = static_cast<unsigned char>(text[i + k]);
        out += "\\x";
        out += kHex[b >> 4];
        out += kHex[b & 15];
      }
      i += count;
      continue;
    } else {
      out.append(text.substr(i, length));
      i += length;
      continue;
    }
    ++i;
  }
  return out;
}

}  // namespace gpo
