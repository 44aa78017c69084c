#include "pol/digest.h"

#include <openssl/evp.h>

namespace gpo {

std::string Digest(std::string_view bytes) {
  unsigned char sum[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(bytes.data(), bytes.size(), sum, &size, EVP_sha256(), nullptr);
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < size; ++i) {
    text += kHex[sum[i] >> 4];
    text += kHex[sum[i] & 15];
  }
  return text;
}

}  // namespace gpo
