// Feeds arbitrary bytes through a real socket into the service's request
// framing: the peer writes them and shuts its sending side, the service's
// stream reads one request. The outcome must be the one the framing rules
// give for those bytes (first line only, size limit before the UTF-8 test,
// White_Space trimmed, one JSON value), and a request that comes out must
// survive an encode/decode round trip unchanged.

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>

#include "app_lib/service_ipc/codec.h"
#include "app_lib/service_transport/transport.h"
#include "app_lib/sys/fd.h"
#include "app_lib/sys/text.h"
#include "fuzz/round_trip.h"

namespace {

using app_lib::service_transport::SERVICE_IPC_MESSAGE_LIMIT;
using app_lib::service_transport::ServiceTransportForm;
using app_lib::service_transport::ServiceTransportStream;
using app_lib::sys::UniqueFd;

// Past the 64 KiB limit with room to spare; more adds nothing the reader sees.
constexpr std::size_t INPUT_CAP = 192 * 1024;
constexpr int SOCKET_BUFFER = 1 << 20;

using fuzz::fuzz_fail;

// Writes what the socket takes at once; a writer thread takes over only if
// the buffer fills, since the reader stops at the limit and may leave bytes.
class Feeder {
 public:
  Feeder(UniqueFd fd, std::string_view bytes) : fd_(std::move(fd)) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n =
          ::send(fd_.get(), bytes.data() + sent, bytes.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    if (sent == bytes.size()) {
      ::shutdown(fd_.get(), SHUT_WR);
      return;
    }
    rest_ = std::thread([this, rest = bytes.substr(sent)]() mutable {
      while (!rest.empty()) {
        const ssize_t n = ::send(fd_.get(), rest.data(), rest.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // the reader has gone
        rest.remove_prefix(static_cast<std::size_t>(n));
      }
      ::shutdown(fd_.get(), SHUT_WR);
    });
  }
  // Call once the reading end is closed, so a blocked writer sees EPIPE.
  void finish() {
    if (rest_.joinable()) rest_.join();
  }

 private:
  UniqueFd fd_;
  std::thread rest_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace ipc = app_lib::service_ipc;
  const std::string_view input(reinterpret_cast<const char*>(data), std::min(size, INPUT_CAP));

  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) fuzz_fail("socketpair", "");
  UniqueFd service_end(fds[0]);
  UniqueFd client_end(fds[1]);
  ::setsockopt(client_end.get(), SOL_SOCKET, SO_SNDBUF, &SOCKET_BUFFER, sizeof SOCKET_BUFFER);
  ::setsockopt(service_end.get(), SOL_SOCKET, SO_RCVBUF, &SOCKET_BUFFER, sizeof SOCKET_BUFFER);

  Feeder feeder(std::move(client_end), input);
  auto request = [&] {
    ServiceTransportStream stream(ServiceTransportForm::Unix, std::move(service_end));
    return stream.read_request();
  }();
  feeder.finish();

  // The expected outcome, from the bytes alone.
  const std::size_t line_feed = input.find('\n');
  const std::string_view line =
      input.substr(0, std::min({line_feed == std::string_view::npos ? input.size() : line_feed + 1,
                                SERVICE_IPC_MESSAGE_LIMIT + 1}));
  if (line.size() > SERVICE_IPC_MESSAGE_LIMIT) {
    if (request || request.error() != "ServiceRunner Unix Socket 消息超过 64KB 上限") {
      fuzz_fail("oversize line not refused for its size", request ? "" : request.error());
    }
    return 0;
  }
  if (!app_lib::sys::validate_utf8(line)) {
    if (request || !request.error().starts_with("请求不是有效 UTF-8: ")) {
      fuzz_fail("invalid UTF-8 not refused as such", request ? "" : request.error());
    }
    return 0;
  }
  const auto expected = ipc::decode_request(app_lib::sys::trim_white_space(line));
  if (!expected) {
    if (request || request.error() != "请求格式错误: " + expected.error()) {
      fuzz_fail("malformed request not refused with the decoder's error",
                request ? "" : request.error());
    }
    fuzz::check_error_text(request.error());
    return 0;
  }
  if (!request) fuzz_fail("well-formed request refused", request.error());
  if (*request != *expected) fuzz_fail("framing changed the request", line);

  fuzz::check_round_trip(
      *request, [](std::string_view text) { return ipc::decode_request(text); },
      [](const auto& value, std::string& out) { return ipc::encode_request(value, out); });
  return 0;
}
