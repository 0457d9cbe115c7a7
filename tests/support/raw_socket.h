#pragma once

// Raw client ends of the service's endpoints, for tests that must control
// every byte. Every read waits at most its limit.

#include <chrono>
#include <string>
#include <string_view>

#include "app_lib/service_transport/transport.h"
#include "app_lib/sys/fd.h"
#include "app_lib/sys/result.h"
#include "tests/support/wait.h"

namespace nimbletrace_test {

// What a receive appends when the limit passed before the peer was done.
inline constexpr std::string_view TIMED_OUT = "<timeout>";

// A blocking, close-on-exec connection to `endpoint`; the error names the cause.
app_lib::Result<app_lib::sys::UniqueFd> open_connection(
    const app_lib::service_transport::ServiceTransport& endpoint);
// The same, invalid on failure.
app_lib::sys::UniqueFd connect_raw(const app_lib::service_transport::ServiceTransport& endpoint);

// Sends all bytes; false once the peer is gone.
bool send_raw(int fd, std::string_view bytes);

// Everything the peer sends until it closes, followed by TIMED_OUT if it has
// not closed within `limit`.
std::string receive_until_eof(int fd, std::chrono::milliseconds limit = WAIT_LIMIT);
// The bytes up to and including the first line feed, or what came before the
// peer closed; followed by TIMED_OUT if neither happened within `limit`.
std::string receive_line(int fd, std::chrono::milliseconds limit = WAIT_LIMIT);

// Sends raw bytes over a fresh connection and reads until the peer closes it.
// `half_close` shuts the sending side after the bytes. A failed connect
// answers "<connect failed: CAUSE>".
std::string raw_exchange(const app_lib::service_transport::ServiceTransport& endpoint,
                         std::string_view bytes, bool half_close = false,
                         std::chrono::milliseconds limit = WAIT_LIMIT);

// A loopback TCP socket bound to a port of the system's choosing, not
// listening: it keeps the port from being taken while refusing connections.
struct LoopbackPort {
  app_lib::sys::UniqueFd socket;
  std::string endpoint;  // "127.0.0.1:N"
};
LoopbackPort bind_loopback_port();
// A loopback TCP endpoint that was free a moment ago.
std::string free_tcp_endpoint();

}  // namespace nimbletrace_test
