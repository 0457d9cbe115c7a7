#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "app_lib/sys/result.h"

namespace app_lib::sys {

// Checks that bytes are UTF-8. The error names the byte index where the first
// invalid or incomplete sequence starts.
Result<std::string_view> validate_utf8(std::string_view bytes);

// Replaces every maximal invalid subsequence with U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// Removes leading and trailing characters that have the Unicode White_Space
// property (not only ASCII blanks). The input must be valid UTF-8.
std::string_view trim_white_space(std::string_view utf8);

// ASCII-only lower casing; other bytes are left alone.
std::string ascii_lower(std::string_view text);

}  // namespace app_lib::sys
