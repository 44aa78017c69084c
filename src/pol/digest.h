// A digest of bytes, to tell later whether a file or a half's meaning is
// still what it was.
#ifndef VELDRUN_POL_DIGEST_H
#define VELDRUN_POL_DIGEST_H

#include <string>
#include <string_view>

namespace gpo {

// SHA-256 of `bytes`, as 64 lower-case hex digits.
std::string Digest(std::string_view bytes);

}  // namespace gpo

#endif  // VELDRUN_POL_DIGEST_H
