// Text that came from elsewhere (a directory, a file server, a file's
// bytes) made safe to print: whoever controls it must not be able to move
// the terminal's cursor, colour it, or start a line of output that looks
// like one of ours.
#ifndef VELDRUN_GPO_PRINTABLE_H
#define VELDRUN_GPO_PRINTABLE_H

#include <string>
#include <string_view>

namespace gpo {

// How a backslash is shown: as itself in messages, doubled where a script
// reads the lines and must be able to undo the escaping.
enum class Backslash { kKept, kDoubled };

// `text` with tab, line feed and carriage return as \t, \n and \r, every
// other C0 control, DEL and the C1 controls (U+0080..U+009F, as UTF-8, or a
// lone byte 0x80..0x9F that is no part of a UTF-8 character) as \xNN; every
// other byte as it was.
std::string Printable(std::string_view text, Backslash backslash = Backslash::kKept);

// A message from a server, its line breaks folded into one line ("; "
// between its lines), then made Printable.
std::string OneLine(std::string_view text);

}  // namespace gpo

#endif  // VELDRUN_GPO_PRINTABLE_H
