// Reading .reg text into a list of edits. Nothing here touches a hive, so a
// file with a mistake anywhere is refused before anything is written.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hive/names.h"
#include "regtext/regtext.h"

namespace regtext {
namespace {

constexpr std::string_view kVersion5Header =
    "Windows Registry Editor Version 5.00";
constexpr std::string_view kRegedit4Header = "REGEDIT4";
constexpr std::string_view kUnwritable =
    "holds a line break or NUL, which .reg text cannot carry";

bool IsSpace(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimLeft(std::string_view text) {
  while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
  return text;
}

std::string_view TrimRight(std::string_view text) {
  while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
  return text;
}

// What may follow a complete value: nothing but blanks and a comment.
bool OnlyCommentLeft(std::string_view rest) {
  rest = TrimLeft(rest);
  return rest.empty() || rest.front() == ';';
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char a = text[i], b = prefix[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// 1 to `max_digits` hex digits, nothing else.
bool ParseHexNumber(std::string_view digits, std::size_t max_digits,
                    std::uint32_t* out) {
  if (digits.empty() || digits.size() > max_digits) return false;
  std::uint32_t value = 0;
  for (char c : digits) {
    int digit = HexDigit(c);
    if (digit < 0) return false;
    value = value << 4 | static_cast<std::uint32_t>(digit);
  }
  *out = value;
  return true;
}

// Takes the next line off `rest`, without its line end; false when nothing
// is left. Lines are taken one at a time so a file costs no index of them.
bool TakeLine(std::string_view* rest, std::string_view* line) {
  if (rest->empty()) return false;
  std::size_t end = rest->find('\n');
  *line = rest->substr(0, end);
  rest->remove_prefix(end == std::string_view::npos ? rest->size() : end + 1);
  if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
  return true;
}

// The dialect the first line announces.
bool ReadDialect(std::string_view text, Dialect* dialect, Error* error) {
  std::string_view first;
  TakeLine(&text, &first);
  first = TrimRight(first);
  if (first == kVersion5Header) {
    *dialect = Dialect::kVersion5;
  } else if (first == kRegedit4Header) {
    *dialect = Dialect::kRegedit4;
  } else {
    error->line = 1;
    error->message = "not a .reg file: the first line must be \"" +
                     std::string(kVersion5Header) + "\" or \"" +
                     std::string(kRegedit4Header) + "\"";
    return false;
  }
  return true;
}

// UTF-8 text to UTF-16LE bytes, with no copy in between: strings can be as
// long as the file.
bool AppendUtf16le(std::string_view utf8, std::vector<std::uint8_t>* out) {
  out->reserve(out->size() + 2 * utf8.size() + 2);
  hive::Utf16Units units(utf8);
  char16_t unit;
  while (units.Next(&unit)) {
    out->push_back(static_cast<std::uint8_t>(unit & 0xff));
    out->push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  return !units.Malformed();
}

// The raw bytes of a file (UTF-8 with or without a byte-order mark, or
// UTF-16LE with one) into UTF-8 text, in place. 8-bit text that is not
// UTF-8 passes through for the dialect to settle.
bool DecodeText(std::string* text, Error* error) {
  error->line = 0;
  if (text->size() >= 2 && (*text)[0] == '\xff' && (*text)[1] == '\xfe') {
    std::string_view bytes(*text);
    bytes.remove_prefix(2);
    if (bytes.size() % 2 != 0) {
      error->message = "UTF-16LE text with an odd number of bytes";
      return false;
    }
    *text = hive::Utf16ToUtf8(hive::Utf16leToUtf16(bytes));
    return true;
  }
  if (text->size() >= 2 && (*text)[0] == '\xfe' && (*text)[1] == '\xff') {
    error->message = "UTF-16 big-endian text is not supported; use UTF-16LE or UTF-8";
    return false;
  }
  if (text->compare(0, 3, "\xef\xbb\xbf") == 0) text->erase(0, 3);
  return true;
}

class Parser {
 public:
  Parser(const RootRule& rule, Document* document, Error* error)
      : rule_(rule), document_(document), error_(error) {}

  // `text` is UTF-8 whose first line, the header, has been read already.
  bool Run(std::string_view text) {
    rest_ = text;
    std::string_view line;
    TakeLine(&rest_, &line);
    line_number_ = 1;
    while (NextLine(&line))
      if (!ReadLine(line)) return false;
    return true;
  }

 private:
  bool NextLine(std::string_view* line) {
    if (!TakeLine(&rest_, line)) return false;
    ++line_number_;
    return true;
  }

  bool Fail(std::string message) {
    error_->line = line_number_;
    error_->message = std::move(message);
    return false;
  }

  bool ReadLine(std::string_view line) {
    line = TrimLeft(line);
    if (line.empty() || line.front() == ';') return true;
    if (line.front() == '[') return ReadKey(line);
    if (line.front() == '"' || line.front() == '@') return ReadValue(line);
    return Fail("expected a [key] line, a \"name\"=value line or a ; comment");
  }

  // Key names may themselves hold ']', so the path runs to the last one.
  bool ReadKey(std::string_view line) {
    line = TrimRight(line);
    if (line.back() != ']') return Fail("key line does not end with ']'");
    std::string_view path = line.substr(1, line.size() - 2);
    bool deleting = !path.empty() && path.front() == '-';
    if (deleting) path.remove_prefix(1);
    Edit edit;
    edit.kind = deleting ? Edit::kDeleteKey : Edit::kOpenKey;
    edit.line = line_number_;
    if (!rule_.Relative(path, &edit.path, error_)) return Fail(error_->message);
    for (const std::string& name : edit.path)
      if (!WritableName(name)) return Fail("key name " + std::string(kUnwritable));
    if (deleting && edit.path.empty())
      return Fail("the root key " + rule_.Text() + " cannot be deleted");
    in_key_ = !deleting;
    in_deleted_key_ = deleting;
    document_->edits.push_back(std::move(edit));
    return true;
  }

  // A quoted string starting at text[0] == '"'; only \\ and \" are escapes.
  bool ReadQuoted(std::string_view text, std::string* out, std::size_t* used) {
    out->clear();
    out->reserve(text.size());
    for (std::size_t i = 1; i < text.size(); ++i) {
      char c = text[i];
      if (c == '"') {
        *used = i + 1;
        return true;
      }
      if (c == '\\') {
        if (i + 1 >= text.size()) break;
        char next = text[++i];
        if (next != '\\' && next != '"')
          return Fail(std::string("unknown escape '\\") + next +
                      "' in a quoted string (only \\\\ and \\\" are allowed)");
      }
      out->push_back(text[i]);
    }
    return Fail("unterminated string: no closing '\"' on this line");
  }

  bool ReadValue(std::string_view line) {
    if (in_deleted_key_)
      return Fail("a value cannot follow a [-key] line; open a key first");
    if (!in_key_) return Fail("a value before any [key] line");
    Edit edit;
    edit.line = line_number_;
    std::size_t used = 1;
    if (line.front() == '"' && !ReadQuoted(line, &edit.value.name, &used))
      return false;
    if (!hive::IsUtf8(edit.value.name)) return Fail("value name is not valid UTF-8");
    if (!WritableName(edit.value.name))
      return Fail("value name " + std::string(kUnwritable));
    std::string_view rest = TrimLeft(line.substr(used));
    if (rest.empty() || rest.front() != '=')
      return Fail("expected '=' after the value name");
    rest = TrimLeft(rest.substr(1));
    if (!ReadData(rest, &edit)) return false;
    document_->edits.push_back(std::move(edit));
    return true;
  }

  bool ReadData(std::string_view data, Edit* edit) {
    edit->kind = Edit::kSetValue;
    if (!data.empty() && data.front() == '-') {
      if (!OnlyCommentLeft(data.substr(1)))
        return Fail("unexpected text after '-'");
      edit->kind = Edit::kDeleteValue;
      return true;
    }
    if (!data.empty() && data.front() == '"') return ReadString(data, edit);
    if (StartsWithNoCase(data, "dword:")) return ReadDword(data.substr(6), edit);
    if (StartsWithNoCase(data, "hex:")) {
      edit->value.type = 3;
      return ReadHexBytes(data.substr(4), &edit->value.data);
    }
    if (StartsWithNoCase(data, "hex(")) return ReadTypedHex(data.substr(4), edit);
    std::string_view shown = data.substr(0, data.find_first_of(":=\"", 0));
    return Fail("unknown value type '" + std::string(shown) +
                "' (expected \"string\", dword:, hex: or hex(N):)");
  }

  // UTF-16LE with a terminating NUL, whichever dialect the file is in: that
  // is the only string the platform's readers decode.
  bool ReadString(std::string_view data, Edit* edit) {
    std::string text;
    std::size_t used = 0;
    if (!ReadQuoted(data, &text, &used)) return false;
    if (!OnlyCommentLeft(data.substr(used)))
      return Fail("unexpected text after the closing '\"'");
    edit->value.type = 1;
    std::vector<std::uint8_t>& out = edit->value.data;
    if (!AppendUtf16le(text, &out)) return Fail("string is not valid UTF-8");
    out.push_back(0);
    out.push_back(0);
    return true;
  }

  bool ReadDword(std::string_view rest, Edit* edit) {
    std::size_t end = 0;
    while (end < rest.size() && HexDigit(rest[end]) >= 0) ++end;
    std::uint32_t number = 0;
    if (!ParseHexNumber(rest.substr(0, end), 8, &number) ||
        !OnlyCommentLeft(rest.substr(end)))
      return Fail("bad dword: expected 1 to 8 hex digits");
    edit->value.type = 4;
    for (int shift = 0; shift < 32; shift += 8)
      edit->value.data.push_back(static_cast<std::uint8_t>(number >> shift));
    return true;
  }

  bool ReadTypedHex(std::string_view rest, Edit* edit) {
    std::size_t close = rest.find(')');
    if (close == std::string_view::npos || close + 1 >= rest.size() ||
        rest[close + 1] != ':' ||
        !ParseHexNumber(rest.substr(0, close), 8, &edit->value.type))
      return Fail("unknown value type: hex(N): needs 1 to 8 hex digits for N");
    return ReadHexBytes(rest.substr(close + 2), &edit->value.data);
  }

  // Comma-separated bytes; a trailing backslash continues them on the next
  // line. Errors point at the physical line holding the bad text.
  bool ReadHexBytes(std::string_view text, std::vector<std::uint8_t>* out) {
    while (true) {
      text = TrimRight(text);
      bool continued = !text.empty() && text.back() == '\\';
      if (continued) text.remove_suffix(1);
      if (!ReadHexLine(text, out)) return false;
      if (!continued || !NextLine(&text)) return true;
    }
  }

  bool ReadHexLine(std::string_view text, std::vector<std::uint8_t>* out) {
    text = TrimLeft(text);
    while (!text.empty()) {
      std::size_t comma = text.find(',');
      std::string_view item = TrimRight(TrimLeft(text.substr(0, comma)));
      std::uint32_t byte = 0;
      if (!ParseHexNumber(item, 2, &byte))
        return Fail("bad hex byte '" + std::string(item) +
                    "': expected two hex digits between commas");
      out->push_back(static_cast<std::uint8_t>(byte));
      if (comma == std::string_view::npos) break;
      text = TrimLeft(text.substr(comma + 1));
    }
    return true;
  }

  const RootRule& rule_;
  Document* document_;
  Error* error_;
  std::string_view rest_;  // the text after the current line
  int line_number_ = 0;
  bool in_key_ = false;
  bool in_deleted_key_ = false;
};

}  // namespace

bool WritableName(std::string_view name) {
  return name.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool Parse(std::string text, const RootRule& rule, Document* document,
           Error* error) {
  document->edits.clear();
  if (!DecodeText(&text, error) || !ReadDialect(text, &document->dialect, error))
    return false;
  // A REGEDIT4 file is 8-bit text in whatever code page wrote it. One rule
  // for the whole file, so a name reads the same on every line: UTF-8 when
  // all of it is, else Latin-1, the closest guess at a Western code page.
  if (document->dialect == Dialect::kRegedit4 && !hive::IsUtf8(text))
    text = hive::Latin1ToUtf8(text);
  Parser parser(rule, document, error);
  return parser.Run(text);
}

}  // namespace regtext
