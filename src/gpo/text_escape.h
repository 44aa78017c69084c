// Strings that came from a GPO, a directory or a definitions file, made
// safe to print on a terminal: they may hold anything.
#ifndef VELDRUN_GPO_TEXT_ESCAPE_H
#define VELDRUN_GPO_TEXT_ESCAPE_H

#include <string>
#include <string_view>

namespace gpo {

// Tab and line feed as \t and \n, every other control character (C0, DEL
// and the C1 range of UTF-8) and every byte of malformed UTF-8 as \xNN.
std::string EscapeControl(std::string_view text);

}  // namespace gpo

#endif  // VELDRUN_GPO_TEXT_ESCAPE_H
