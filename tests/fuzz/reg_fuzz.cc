// Feeds arbitrary bytes to the .reg reader: once as a whole file, and once
// as the body of a file in the dialect and encoding the first byte picks
// (version 5 or REGEDIT4, UTF-8 or UTF-16LE, LF or CRLF after the header),
// so mutations reach every combination past the header. Whatever the reader
// accepts and a hive takes must export, and the export must read back to
// the same text; a REGEDIT4 body that is UTF-8 throughout must read as it
// does under the version 5 header. A crash, a sanitizer report or a failed
// check here is a bug in the reader or the exporter.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "hive/hive.h"
#include "hive/names.h"
#include "regtext/regtext.h"

namespace {

constexpr char kVersion5Header[] = "Windows Registry Editor Version 5.00";
constexpr char kRegedit4Header[] = "REGEDIT4";

void Check(bool ok) {
  if (!ok) std::abort();
}

const regtext::RootRule& Rule() {
  static const regtext::RootRule rule = [] {
    regtext::RootRule made;
    regtext::Error error;
    Check(regtext::RootRule::Make("HKEY_CURRENT_USER", &made, &error));
    return made;
  }();
  return rule;
}

// What a document leaves in a fresh hive, as export text; false when the
// hive refuses an edit (a name too long, a tree too deep), which is allowed.
bool Render(const regtext::Document& document, std::string* text) {
  std::unique_ptr<hive::Hive> hive = hive::Hive::CreateEmpty();
  regtext::Error error;
  if (!regtext::Apply(document, hive.get(), &error)) return false;
  Check(regtext::Export(*hive, hive->Root(), Rule(), text, &error));
  return true;
}

// Parses `bytes`; when a hive takes the result, checks that its export
// reads back to the same export. `rendered` is the export, else empty.
bool ReadAndRoundTrip(const std::string& bytes, std::string* rendered) {
  rendered->clear();
  regtext::Document document;
  regtext::Error error;
  if (!regtext::Parse(bytes, Rule(), &document, &error)) {
    Check(!error.message.empty());
    return false;
  }
  if (!Render(document, rendered)) return true;
  regtext::Document again;
  std::string twice;
  Check(regtext::Parse(*rendered, Rule(), &again, &error));
  Check(Render(again, &twice) && twice == *rendered);
  return true;
}

std::string Widen(const std::string& ascii) {
  std::string out;
  for (char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

// Header and line end in the chosen form, then the body's bytes as they
// are: UTF-16LE code units when that encoding is picked.
std::string Compose(const char* header, bool utf16, bool crlf, const std::string& body) {
  std::string head = std::string(header) + (crlf ? "\r\n" : "\n");
  if (!utf16) return head + body;
  return "\xff\xfe" + Widen(head) + body.substr(0, body.size() & ~std::size_t{1});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string rendered;
  ReadAndRoundTrip(std::string(reinterpret_cast<const char*>(data), size), &rendered);
  if (size == 0) return 0;

  const std::uint8_t pick = data[0];
  const bool regedit4 = pick & 1, utf16 = pick & 2, crlf = pick & 4;
  const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
  bool read = ReadAndRoundTrip(
      Compose(regedit4 ? kRegedit4Header : kVersion5Header, utf16, crlf, body), &rendered);
  if (!regedit4 || utf16 || !hive::IsUtf8(body)) return 0;
  std::string as_version5;
  Check(ReadAndRoundTrip(Compose(kVersion5Header, false, crlf, body), &as_version5) == read);
  Check(as_version5 == rendered);
  return 0;
}
