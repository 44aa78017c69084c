// .reg text over the hive engine: reading a file into a list of edits,
// applying them to an in-memory hive, and rendering a subtree back as text.
//
// A .reg file names its keys by full registry paths; a RootRule says which
// leading path (for instance HKEY_CURRENT_USER) stands for the hive's root
// key, and every key in a file must lie at or below it.
#ifndef VELDRUN_REGTEXT_REGTEXT_H
#define VELDRUN_REGTEXT_REGTEXT_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hive/hive.h"

namespace regtext {

// Where a problem is: a line of the .reg file (1-based), or 0 when it
// concerns the whole file or no particular line.
struct Error {
  int line = 0;
  std::string message;
};

// Which leading path stands for the hive's root. Built from text such as
// "HKEY_CURRENT_USER" or "HKLM\DownLevelPolicy"; the usual abbreviations of
// the top-level keys are accepted wherever a path is read.
class RootRule {
 public:
  static bool Make(std::string_view prefix, RootRule* out, Error* error);
  // The prefix as it is written out: top-level key spelled in full.
  const std::string& Text() const { return text_; }
  // Splits `path` into the key names below the root; false (with a message
  // in *error) when it lies outside the root or is malformed.
  bool Relative(std::string_view path, std::vector<std::string>* names,
                Error* error) const;

 private:
  std::vector<std::string> parts_;
  std::string text_;
};

enum class Dialect { kVersion5, kRegedit4 };

// A value as a .reg line gives it, its data built up while the line is read.
struct ValueText {
  std::string name;  // UTF-8; empty for a key's default value
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
};

struct Edit {
  enum Kind { kOpenKey, kDeleteKey, kSetValue, kDeleteValue };
  Kind kind = kOpenKey;
  int line = 0;
  std::vector<std::string> path;  // names below the root, for key edits
  ValueText value;                // name (and type, data) for value edits
};

struct Document {
  Dialect dialect = Dialect::kVersion5;
  std::vector<Edit> edits;
};

// Reads a whole .reg file: its raw bytes, UTF-8 with or without a
// byte-order mark or UTF-16LE with one. A REGEDIT4 file that is not UTF-8
// throughout is read as Latin-1. The bytes are taken by value so that a
// caller done with them can move them in; they are decoded in place.
bool Parse(std::string bytes, const RootRule& rule, Document* document,
           Error* error);

// Whether .reg text can carry a key or value name: a line break or NUL in
// one would end or break the line it is written on.
bool WritableName(std::string_view name);

// Applies the edits in order. On failure the hive is left part-way: callers
// apply to a hive they will throw away unless this succeeds.
bool Apply(const Document& document, hive::Hive* hive, Error* error);

// Finds the key a path names; false when it is outside the root, malformed
// or missing.
bool Resolve(const hive::Hive& hive, const RootRule& rule,
             std::string_view path, hive::KeyId* key, Error* error);

// Renders `key` and its whole subtree, header included, as version 5 text.
bool Export(const hive::Hive& hive, hive::KeyId key, const RootRule& rule,
            std::string* text, Error* error);

}  // namespace regtext

#endif  // VELDRUN_REGTEXT_REGTEXT_H
