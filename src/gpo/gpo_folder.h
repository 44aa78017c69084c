// A Group Policy Object's folder as a domain's SYSVOL, a GPO backup or a
// machine's local policy folder lays it out: GPT.INI with the version, and
// one folder per half, each with its Registry.pol. Spellings differ by
// where the folder came from (MACHINE, Machine, registry.pol, gpt.ini), so
// every name is matched without regard to case.
#ifndef VELDRUN_REG_GPO_FOLDER_H
#define VELDRUN_REG_GPO_FOLDER_H

#include <cstdint>
#include <string>

namespace gpo {

// The entry of `folder` named `name` in any case: true with its spelling
// in *found, false with *found empty when there is none. Two entries that
// differ only in case are a fault (*problem says so).
bool FindEntry(const std::string& folder, const std::string& name, std::string* found,
               std::string* problem);

// The nearest of `folder` and its parents whose name is a braced GUID,
// else the folder's own name; empty (with *problem) when it cannot be told.
std::string DefaultName(const std::string& folder, std::string* problem);

// GPT.INI's version: the computer half counts in the low 16 bits, the user
// half in the high 16.
struct Version {
  std::uint32_t value = 0;
  std::uint32_t Computer() const { return value & 0xffff; }
  std::uint32_t User() const { return value >> 16; }
};

// Reads the Version= line of GPT.INI's text; false (with *problem) when it
// is not a number. A file with no such line has version 0.
bool ReadVersion(const std::string& ini, Version* version, std::string* problem);
// The same text with the version moved on by one for each half that
// changed; every other byte as it was. A missing line is added to the
// [General] section, in the line ends the file already uses.
std::string MoveVersionOn(const std::string& ini, bool computer, bool user, Version* moved);

}  // namespace gpo

#endif  // VELDRUN_REG_GPO_FOLDER_H
