// Feeds arbitrary bytes to the request decoder. Whatever decodes must encode,
// and the encoding must decode to the same request: both ends of the channel
// agree on every request they can exchange.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "app_lib/service_ipc/codec.h"
#include "fuzz/round_trip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace app_lib::service_ipc;
  return fuzz::decode_and_round_trip(
      std::string_view(reinterpret_cast<const char*>(data), size),
      [](std::string_view text) { return decode_request(text); },
      [](const auto& value, std::string& out) { return encode_request(value, out); });
}
