#include <openssl/err.h>
#include <openssl/evp.h>

#include "app_lib/sys/sha256.h"

namespace app_lib::sys {
namespace {

std::string openssl_error_text() {
  const unsigned long code = ERR_get_error();
  if (code == 0) return "SHA-256 digest failed";
  char buffer[256] = {};
  ERR_error_string_n(code, buffer, sizeof buffer);
  ERR_clear_error();
  return std::string("SHA-256 digest failed: ") + buffer;
}

}  // namespace

Result<std::string> sha256_hex(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
    return fail(openssl_error_text());
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex(static_cast<std::size_t>(length) * 2, '\0');
  for (unsigned int i = 0; i < length; ++i) {
    hex[2 * i] = kHex[digest[i] >> 4];
    hex[2 * i + 1] = kHex[digest[i] & 0x0F];
  }
  return hex;
}

}  // namespace app_lib::sys
