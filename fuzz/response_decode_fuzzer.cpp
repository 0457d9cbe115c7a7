// Feeds arbitrary bytes to the response decoder. Whatever decodes must encode,
// and the encoding must decode to the same response: the service's writing
// and the client's reading of responses agree.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app_lib/service_ipc/codec.h"
#include "app_lib/sys/text.h"

namespace {

[[noreturn]] void fuzz_fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "%s: %.*s\n", what, static_cast<int>(detail.size()), detail.data());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace app_lib::service_ipc;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto decoded = decode_response(text);
  if (!decoded) {
    // Error texts travel inside responses, which only carry UTF-8.
    if (!app_lib::sys::validate_utf8(decoded.error())) fuzz_fail("error text is not UTF-8", decoded.error());
    return 0;
  }

  std::string encoded;
  if (auto r = encode_response(*decoded, encoded); !r) fuzz_fail("decoded response does not encode", r.error());
  auto again = decode_response(encoded);
  if (!again) fuzz_fail("encoded response does not decode", again.error());
  if (*again != *decoded) fuzz_fail("round trip changed the response", encoded);

  std::string encoded_again;
  if (auto r = encode_response(*again, encoded_again); !r || encoded_again != encoded) {
    fuzz_fail("encoding is not stable", encoded);
  }
  return 0;
}
