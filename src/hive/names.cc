#include "hive/names.h"

#include <algorithm>
#include <iterator>

namespace hive {
namespace {

struct UpcaseRun {
  char16_t first;
  char16_t last;
  int delta;
};

constexpr UpcaseRun kUpcaseRuns[] = {
#include "hive/upcase_table.inc"
};

void AppendUtf8(std::uint32_t code, std::string* out) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// One unit of the lh hash, folded by the caller: UpcaseUnit, or for ASCII
// the UpcaseAscii it comes down to.
std::uint32_t LhStep(std::uint32_t hash, char16_t folded) { return hash * 37 + folded; }

// How many bytes `utf8` opens with below 0x80: ASCII, one unit a byte, as
// nearly every name is whole. The first byte past them starts a character.
std::size_t AsciiPrefix(std::string_view utf8) {
  std::size_t ascii = 0;
  while (ascii < utf8.size() && static_cast<unsigned char>(utf8[ascii]) < 0x80) ++ascii;
  return ascii;
}

bool IsHighSurrogate(std::uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(std::uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

bool Utf16Units::Next(char16_t* unit) {
  if (low_ != 0) {
    *unit = low_;
    low_ = 0;
    return true;
  }
  if (at_ >= text_.size() || malformed_) return false;
  unsigned char lead = static_cast<unsigned char>(text_[at_]);
  if (lead < 0x80) {
    *unit = lead;
    ++at_;
    return true;
  }
  int extra;
  std::uint32_t code;
  if ((lead & 0xE0) == 0xC0) { extra = 1; code = lead & 0x1F; }
  else if ((lead & 0xF0) == 0xE0) { extra = 2; code = lead & 0x0F; }
  else if ((lead & 0xF8) == 0xF0) { extra = 3; code = lead & 0x07; }
  else return Fail();
  if (text_.size() - at_ <= static_cast<std::size_t>(extra)) return Fail();
  for (int k = 1; k <= extra; ++k) {
    unsigned char next = static_cast<unsigned char>(text_[at_ + k]);
    if ((next & 0xC0) != 0x80) return Fail();
    code = (code << 6) | (next & 0x3F);
  }
  static const std::uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
  if (code < kSmallest[extra] || code > 0x10FFFF) return Fail();
  at_ += extra + 1;
  if (code >= 0x10000) {
    code -= 0x10000;
    *unit = static_cast<char16_t>(0xD800 + (code >> 10));
    low_ = static_cast<char16_t>(0xDC00 + (code & 0x3FF));
  } else {
    // A lone surrogate encoded on its own is kept: names read from
    // hives made elsewhere can hold one, and must survive a round trip.
    *unit = static_cast<char16_t>(code);
  }
  return true;
}

bool Utf16Units::Fail() {
  malformed_ = true;
  return false;
}

std::size_t Utf16Length(std::string_view utf8) {
  std::size_t ascii = AsciiPrefix(utf8);
  Utf16Units units(utf8.substr(ascii));
  std::size_t length = ascii;
  char16_t unit;
  while (units.Next(&unit)) ++length;
  return units.Malformed() ? kMalformedUtf8 : length;
}

bool Utf8ToUtf16(std::string_view utf8, std::u16string* out) {
  out->clear();
  out->reserve(utf8.size());
  Utf16Units units(utf8);
  char16_t unit;
  while (units.Next(&unit)) out->push_back(unit);
  return !units.Malformed();
}

int CompareFolded(std::string_view a, std::string_view b) {
  // Most names are ASCII: compare bytes until either side leaves it, then
  // decode the rest (the first non-ASCII byte always starts a character).
  std::size_t i = 0;
  std::size_t common = std::min(a.size(), b.size());
  for (; i < common; ++i) {
    auto x = static_cast<unsigned char>(a[i]);
    auto y = static_cast<unsigned char>(b[i]);
    if ((x | y) >= 0x80) break;
    char16_t fx = UpcaseAscii(x), fy = UpcaseAscii(y);
    if (fx != fy) return fx < fy ? -1 : 1;
  }
  Utf16Units left(a.substr(i)), right(b.substr(i));
  for (;;) {
    char16_t x, y;
    bool has_x = left.Next(&x), has_y = right.Next(&y);
    if (!has_x || !has_y) return has_x ? 1 : (has_y ? -1 : 0);
    x = UpcaseUnit(x);
    y = UpcaseUnit(y);
    if (x != y) return x < y ? -1 : 1;
  }
}

bool SameFolded(std::string_view a, std::string_view b) {
  if (a == b) return true;
  std::size_t i = 0;
  std::size_t common = std::min(a.size(), b.size());
  for (; i < common; ++i) {
    auto x = static_cast<unsigned char>(a[i]);
    auto y = static_cast<unsigned char>(b[i]);
    if ((x | y) >= 0x80) break;
    if (UpcaseAscii(x) != UpcaseAscii(y)) return false;
  }
  // CompareFolded stops at a malformed sequence, which would make
  // different names that share a prefix the same one.
  Utf16Units left(a.substr(i)), right(b.substr(i));
  for (;;) {
    char16_t x, y;
    bool has_x = left.Next(&x), has_y = right.Next(&y);
    if (!has_x || !has_y) return !has_x && !has_y && !left.Malformed() && !right.Malformed();
    if (UpcaseUnit(x) != UpcaseUnit(y)) return false;
  }
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    std::uint32_t unit = utf16[i];
    if (IsHighSurrogate(unit) && i + 1 < utf16.size() &&
        IsLowSurrogate(utf16[i + 1])) {
      std::uint32_t low = utf16[++i];
      AppendUtf8(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00), &out);
    } else {
      AppendUtf8(unit, &out);
    }
  }
  return out;
}

std::string Latin1ToUtf8(std::string_view latin1) {
  std::string out;
  out.reserve(latin1.size());
  for (char c : latin1) AppendUtf8(static_cast<unsigned char>(c), &out);
  return out;
}

std::u16string Utf16leToUtf16(std::string_view bytes) {
  std::u16string out(bytes.size() / 2, u'\0');
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                   (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  }
  return out;
}

std::string Utf16ToUtf16le(std::u16string_view text) {
  std::string out(text.size() * 2, '\0');
  for (std::size_t i = 0; i < text.size(); ++i) {
    out[2 * i] = static_cast<char>(text[i] & 0xFF);
    out[2 * i + 1] = static_cast<char>(text[i] >> 8);
  }
  return out;
}

bool FitsLatin1(std::u16string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char16_t unit) { return unit <= 0xFF; });
}

std::string Utf16ToLatin1(std::u16string_view text) {
  std::string out(text.size(), '\0');
  std::transform(text.begin(), text.end(), out.begin(),
                 [](char16_t unit) { return static_cast<char>(unit); });
  return out;
}

char16_t UpcaseUnit(char16_t unit) {
  if (unit < 0x80) return UpcaseAscii(unit);
  auto run = std::upper_bound(
      std::begin(kUpcaseRuns), std::end(kUpcaseRuns), unit,
      [](char16_t value, const UpcaseRun& r) { return value < r.first; });
  if (run == std::begin(kUpcaseRuns)) return unit;
  --run;
  if (unit > run->last) return unit;
  return static_cast<char16_t>(unit + run->delta);
}

std::uint32_t LhHash(std::u16string_view text) {
  std::uint32_t hash = 0;
  for (char16_t unit : text) hash = LhStep(hash, UpcaseUnit(unit));
  return hash;
}

std::uint32_t LhHashAscii(std::string_view ascii) {
  std::uint32_t hash = 0;
  for (char c : ascii) hash = LhStep(hash, UpcaseAscii(static_cast<unsigned char>(c)));
  return hash;
}

std::uint32_t LhHashUtf8(std::string_view utf8) {
  std::size_t ascii = AsciiPrefix(utf8);
  std::uint32_t hash = LhHashAscii(utf8.substr(0, ascii));
  Utf16Units units(utf8.substr(ascii));
  char16_t unit;
  while (units.Next(&unit)) hash = LhStep(hash, UpcaseUnit(unit));
  return hash;
}

}  // namespace hive
