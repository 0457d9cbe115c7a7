#include <CommonCrypto/CommonDigest.h>

#include <algorithm>
#include <cstddef>

#include "app_lib/sys/sha256.h"

namespace app_lib::sys {

Result<std::string> sha256_hex(std::string_view bytes) {
  CC_SHA256_CTX context;
  if (CC_SHA256_Init(&context) != 1) return fail("SHA-256 digest failed");
  // CC_LONG is 32 bits wide; larger inputs go in in slices.
  constexpr std::size_t kSlice = std::size_t{1} << 30;
  const auto* next = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t left = bytes.size();
  while (left > 0) {
    const std::size_t slice = std::min(left, kSlice);
    if (CC_SHA256_Update(&context, next, static_cast<CC_LONG>(slice)) != 1) {
      return fail("SHA-256 digest failed");
    }
    next += slice;
    left -= slice;
  }
  unsigned char digest[CC_SHA256_DIGEST_LENGTH];
  if (CC_SHA256_Final(digest, &context) != 1) return fail("SHA-256 digest failed");

  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex(sizeof digest * 2, '\0');
  for (std::size_t i = 0; i < sizeof digest; ++i) {
    hex[2 * i] = kHex[digest[i] >> 4];
    hex[2 * i + 1] = kHex[digest[i] & 0x0F];
  }
  return hex;
}

}  // namespace app_lib::sys
