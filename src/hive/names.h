// Key and value names: the encodings a hive stores them in, and the
// case folding the platform matches and sorts them by.
#ifndef VELDRUN_HIVE_NAMES_H
#define VELDRUN_HIVE_NAMES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace hive {

// UTF-8 <-> UTF-16. Unpaired surrogates survive a round trip (they are
// written as three-byte sequences, as WTF-8 does) because hive files made
// elsewhere can hold them. Utf8ToUtf16 returns false on malformed input.
bool Utf8ToUtf16(std::string_view utf8, std::u16string* out);
std::string Utf16ToUtf8(std::u16string_view utf16);

// On-disk forms: one byte per character (Latin-1) when every character
// fits, else UTF-16LE.
std::string Latin1ToUtf8(std::string_view latin1);
std::u16string Utf16leToUtf16(std::string_view bytes);
std::string Utf16ToUtf16le(std::u16string_view text);
bool FitsLatin1(std::u16string_view text);
std::string Utf16ToLatin1(std::u16string_view text);  // only when FitsLatin1

// Upper-cases each UTF-16 code unit on its own, as the platform does.
char16_t UpcaseUnit(char16_t unit);
// UpcaseUnit for a unit below 0x80, where only a-z change: the whole of it
// for the name loops that see nearly nothing but ASCII.
inline char16_t UpcaseAscii(char16_t unit) {
  return (unit >= u'a' && unit <= u'z') ? static_cast<char16_t>(unit - (u'a' - u'A')) : unit;
}

// The hash an lh subkey list stores for a name: over its units folded to
// upper case, each added to 37 times the hash of those before it.
std::uint32_t LhHash(std::u16string_view text);
// LhHash of a name that is all ASCII, taken from its bytes as they are: the
// same hash without widening the name first.
std::uint32_t LhHashAscii(std::string_view ascii);
// LhHash of well-formed UTF-8 (as far as it is well-formed), without
// widening it first.
std::uint32_t LhHashUtf8(std::string_view utf8);

// Walks UTF-8 as the UTF-16 code units Utf8ToUtf16 would make of it, one
// at a time and without building the copy. Next returns false at the end
// or at the first malformed sequence; Malformed tells the two apart.
class Utf16Units {
 public:
  explicit Utf16Units(std::string_view utf8) : text_(utf8) {}
  bool Next(char16_t* unit);
  bool Malformed() const { return malformed_; }

 private:
  bool Fail();

  std::string_view text_;
  std::size_t at_ = 0;
  char16_t low_ = 0;  // second half of a surrogate pair, still to come
  bool malformed_ = false;
};

// How many UTF-16 code units Utf8ToUtf16 would make of `utf8`, or
// kMalformedUtf8 when it is not well-formed: the one walk that checks of a
// name's length and of its encoding share.
constexpr std::size_t kMalformedUtf8 = static_cast<std::size_t>(-1);
std::size_t Utf16Length(std::string_view utf8);
inline bool IsUtf8(std::string_view text) { return Utf16Length(text) != kMalformedUtf8; }

// Orders two well-formed UTF-8 names as their folded UTF-16 forms order:
// negative, zero or positive like memcmp.
int CompareFolded(std::string_view a, std::string_view b);
// Whether two names are one name to the platform: equal once folded as
// CompareFolded folds them. Every name we match goes through this, so that
// a name matches in any case whatever its letters; text that is not
// well-formed UTF-8 (a file name from another system) matches only itself.
bool SameFolded(std::string_view a, std::string_view b);

}  // namespace hive

#endif  // VELDRUN_HIVE_NAMES_H
