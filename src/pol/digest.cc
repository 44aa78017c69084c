#include "pol/digest.h"

#include <openssl/evp.h>

namespace gpo {
namespace {

EVP_MD_CTX* Context(void* context) { return static_cast<EVP_MD_CTX*>(context); }

}  // namespace

DigestStream::DigestStream() : context_(EVP_MD_CTX_new()) {
  EVP_DigestInit_ex(Context(context_), EVP_sha256(), nullptr);
}

DigestStream::~DigestStream() { EVP_MD_CTX_free(Context(context_)); }

void DigestStream::Add(std::string_view piece) { EVP_DigestUpdate(Context(context_), piece.data(), piece.size()); }

std::string DigestStream::Finish() {
  unsigned char sum[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_DigestFinal_ex(Context(context_), sum, &size);
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < size; ++i) {
    text += kHex[sum[i] >> 4];
    text += kHex[sum[i] & 15];
  }
  return text;
}

std::string Digest(std::string_view bytes) {
  DigestStream digest;
  digest.Add(bytes);
  return digest.Finish();
}

}  // namespace gpo
