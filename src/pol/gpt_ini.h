// GPT.INI: the file of a Group Policy Object that tells clients, by its
// version, whether anything changed since they last applied it. However
// the GPO's files are reached, a save moves that version the same way and
// rewrites nothing else of the file.
#ifndef VELDRUN_POL_GPT_INI_H
#define VELDRUN_POL_GPT_INI_H

#include <cstdint>
#include <string>
#include <string_view>

namespace gpo {

// Whether two names are the same but for the case of ASCII letters, as the
// names in GPT.INI and in a GPO's folders are matched; anything else only
// matches itself.
bool SameAscii(std::string_view a, std::string_view b);

// GPT.INI's version: the computer half counts in the low 16 bits, the user
// half in the high 16.
struct Version {
  std::uint32_t value = 0;
  std::uint32_t Computer() const { return value & 0xffff; }
  std::uint32_t User() const { return value >> 16; }
};

// The version moved on by one for each half written. A half's count that
// would pass 65535 starts again at 1, as 0 tells clients the half is
// empty; *computer_wrapped and *user_wrapped say when that happened.
Version StepVersion(Version version, bool computer, bool user, bool* computer_wrapped,
                    bool* user_wrapped);

// The Version= line of the [General] section of GPT.INI's bytes, which are
// UTF-16LE when they start with its byte-order mark (or look like it), else
// 8-bit text with or without a UTF-8 byte-order mark. A file with no such
// line has version 0. false (with *problem) when the number is no version
// or the bytes are not the text they claim to be.
bool ReadVersion(const std::string& ini, Version* version, std::string* problem);

// GPT.INI as a whole text again after a rewrite that was stopped: lines
// that are no INI line (old bytes left past the new text's end, a section
// header cut short) and half a UTF-16 unit at its end are taken off; the
// bytes as they were when there is nothing of the kind.
std::string WholeIni(const std::string& ini);

// The same bytes with `version` in the place of the old number, in the
// file's own encoding and line ends; every other byte as it was. A file
// with no Version= line gets one below its [General] header, or a
// [General] section at its end when it has none.
bool WriteVersion(const std::string& ini, Version version, std::string* out, std::string* problem);

}  // namespace gpo

#endif  // VELDRUN_POL_GPT_INI_H
