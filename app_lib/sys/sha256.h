#pragma once

#include <string>
#include <string_view>

#include "app_lib/sys/result.h"

namespace app_lib::sys {

// SHA-256 (FIPS 180-4) of the bytes as 64 lowercase hexadecimal digits, from
// the platform's crypto library (OpenSSL libcrypto or CommonCrypto).
Result<std::string> sha256_hex(std::string_view bytes);

}  // namespace app_lib::sys
