#pragma once

// The checks every codec fuzz target shares: an error text must be UTF-8 (it
// travels inside a response), and whatever decodes must encode, decode back to
// the same value, and encode to the same bytes again.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app_lib/sys/text.h"

namespace fuzz {

[[noreturn]] inline void fuzz_fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "%s: %.*s\n", what, static_cast<int>(detail.size()), detail.data());
  std::abort();
}

inline void check_error_text(std::string_view error) {
  if (!app_lib::sys::validate_utf8(error)) fuzz_fail("error text is not UTF-8", error);
}

// `decode(text)` returns Result<T>; `encode(value, out)` appends to `out`.
template <class T, class Decode, class Encode>
void check_round_trip(const T& decoded, Decode decode, Encode encode) {
  std::string encoded;
  if (auto r = encode(decoded, encoded); !r) fuzz_fail("decoded value does not encode", r.error());
  auto again = decode(encoded);
  if (!again) fuzz_fail("encoded value does not decode", again.error());
  if (*again != decoded) fuzz_fail("round trip changed the value", encoded);
  std::string encoded_again;
  if (auto r = encode(*again, encoded_again); !r || encoded_again != encoded) {
    fuzz_fail("encoding is not stable", encoded);
  }
}

template <class Decode, class Encode>
int decode_and_round_trip(std::string_view text, Decode decode, Encode encode) {
  auto decoded = decode(text);
  if (!decoded) {
    check_error_text(decoded.error());
    return 0;
  }
  check_round_trip(*decoded, decode, encode);
  return 0;
}

}  // namespace fuzz
