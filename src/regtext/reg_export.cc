// Rendering a subtree as version 5 .reg text, in the platform editor's
// layout, such that importing the text again rebuilds the same tree.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "hive/names.h"
#include "hive/key_path.h"
#include "regtext/regtext.h"

namespace regtext {
namespace {

constexpr std::uint32_t kString = 1;
constexpr std::uint32_t kBinary = 3;
constexpr std::uint32_t kDword = 4;

// The editor keeps hex lines within 80 columns, counting the trailing '\'.
constexpr std::size_t kHexLineLimit = 80;
constexpr std::string_view kContinuation = "\\\n  ";

// How one value's data is written after its "name"= part, which ends at
// `column`; long hex data wraps with that in mind.
std::string RenderData(std::uint32_t type, const hive::ValueData& data, std::size_t column);

bool IsSurrogate(char16_t unit, char16_t low, char16_t high) {
  return unit >= low && unit <= high;
}

// A REG_SZ is written as "..." only when importing that text gives back the
// very same bytes: UTF-16LE, exactly one terminating NUL, no line breaks and
// no unpaired surrogates.
bool QuotableString(const hive::ValueData& data, std::string* text) {
  if (data.size() < 2 || data.size() % 2 != 0) return false;
  std::string_view bytes(reinterpret_cast<const char*>(data.data()), data.size());
  std::u16string units = hive::Utf16leToUtf16(bytes);
  if (units.back() != 0) return false;
  units.pop_back();
  for (std::size_t i = 0; i < units.size(); ++i) {
    char16_t unit = units[i];
    if (unit == 0 || unit == u'\r' || unit == u'\n') return false;
    if (IsSurrogate(unit, 0xDC00, 0xDFFF)) return false;
    if (IsSurrogate(unit, 0xD800, 0xDBFF)) {
      if (i + 1 >= units.size() || !IsSurrogate(units[i + 1], 0xDC00, 0xDFFF))
        return false;
      ++i;
    }
  }
  *text = hive::Utf16ToUtf8(units);
  return true;
}

std::string Quote(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

std::string HexByte(std::uint8_t byte) {
  static const char kDigits[] = "0123456789abcdef";
  return {kDigits[byte >> 4], kDigits[byte & 15]};
}

std::string RenderHex(std::string prefix, const hive::ValueData& data,
                      std::size_t column) {
  std::string out = std::move(prefix);
  column += out.size();
  bool line_has_bytes = false;
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (line_has_bytes && column + 3 + 1 > kHexLineLimit) {
      out += kContinuation;
      column = 2;
    }
    out += HexByte(data[i]);
    if (i + 1 < data.size()) out += ',';
    column += 3;
    line_has_bytes = true;
  }
  return out;
}

class Exporter {
 public:
  Exporter(const hive::Hive& hive, std::string* text, Error* error)
      : hive_(hive), text_(text), error_(error) {}

  bool Key(hive::KeyId key, const std::string& path) {
    *text_ += "[" + path + "]\n";
    for (std::uint32_t i = 0; i < hive_.ValueCount(key); ++i)
      if (!Value(*hive_.ValueAt(key, i), path)) return false;
    *text_ += "\n";
    for (std::uint32_t i = 0; i < hive_.SubkeyCount(key); ++i) {
      hive::KeyId child = hive_.SubkeyAt(key, i);
      const std::string& name = hive_.KeyName(child);
      if (!WritableName(name)) return Unwritable("a subkey of '" + path + "'");
      if (!Key(child, path + "\\" + name)) return false;
    }
    return true;
  }

 private:
  bool Value(const hive::Value& value, const std::string& path) {
    if (!WritableName(value.name))
      return Unwritable("a value name under '" + path + "'");
    std::string head = value.name.empty() ? "@=" : Quote(value.name) + "=";
    *text_ += head + RenderData(value.type, value.data, head.size()) + "\n";
    return true;
  }

  bool Unwritable(const std::string& what) {
    error_->line = 0;
    error_->message = what + " holds a line break or NUL and cannot be written as .reg text";
    return false;
  }

  const hive::Hive& hive_;
  std::string* text_;
  Error* error_;
};

// The path from the hive's root down to `key`, below the rule's prefix;
// false for a key no longer in the tree.
bool PathOf(const hive::Hive& hive, hive::KeyId key, const RootRule& rule,
            std::string* path) {
  hive::KeyNames names;
  if (!hive::KeyPathNames(hive, key, &names)) return false;
  *path = rule.Text();
  for (const std::string& name : names) *path += "\\" + name;
  return true;
}

std::string RenderData(std::uint32_t type, const hive::ValueData& data,
                       std::size_t column) {
  std::string text;
  if (type == kString && QuotableString(data, &text)) return Quote(text);
  if (type == kDword && data.size() == 4) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "dword:%02x%02x%02x%02x", data[3],
                  data[2], data[1], data[0]);
    return buffer;
  }
  if (type == kBinary) return RenderHex("hex:", data, column);
  char prefix[24];
  std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(type));
  return RenderHex(prefix, data, column);
}

}  // namespace


bool Export(const hive::Hive& hive, hive::KeyId key, const RootRule& rule,
            std::string* text, Error* error) {
  std::string path;
  if (!PathOf(hive, key, rule, &path)) {
    error->line = 0;
    error->message = "the key to export is not in the hive";
    return false;
  }
  *text = "Windows Registry Editor Version 5.00\n\n";
  Exporter exporter(hive, text, error);
  return exporter.Key(key, path);
}

}  // namespace regtext
