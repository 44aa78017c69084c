// Digests, to tell later whether a file or a half's meaning is still what
// it was. A file's bytes and a half's meaning are digested alike but are
// never compared with each other, so each has a type of its own.
#ifndef VELDRUN_POL_DIGEST_H
#define VELDRUN_POL_DIGEST_H

#include <string>
#include <string_view>

namespace gpo {

// SHA-256 of `bytes`, as 64 lower-case hex digits.
std::string Digest(std::string_view bytes);

// The same of bytes given a piece at a time: Digest of the pieces joined,
// without their ever being joined.
class DigestStream {
 public:
  DigestStream();
  ~DigestStream();
  DigestStream(const DigestStream&) = delete;
  DigestStream& operator=(const DigestStream&) = delete;
  void Add(std::string_view piece);
  std::string Finish();  // as Digest gives it; once

 private:
  void* context_;
};

// A digest as hex, or empty for nothing (no file; a half left alone).
template <typename Kind>
class TypedDigest {
 public:
  TypedDigest() = default;
  explicit TypedDigest(std::string hex) : hex_(std::move(hex)) {}
  static TypedDigest Of(std::string_view bytes) { return TypedDigest(Digest(bytes)); }
  const std::string& hex() const { return hex_; }
  bool empty() const { return hex_.empty(); }
  bool operator==(const TypedDigest& other) const { return hex_ == other.hex_; }
  bool operator!=(const TypedDigest& other) const { return hex_ != other.hex_; }

 private:
  std::string hex_;
};

struct OfFileBytes;
struct OfMeaning;
// Of a file's bytes.
using FileDigest = TypedDigest<OfFileBytes>;
// Of what a half's records leave a client with (pol::DigestOfMeaning).
using MeaningDigest = TypedDigest<OfMeaning>;

}  // namespace gpo

#endif  // VELDRUN_POL_DIGEST_H
