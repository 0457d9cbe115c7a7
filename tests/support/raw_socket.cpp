#include "tests/support/raw_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "app_lib/platform/socket_flags.h"
#include "app_lib/service_transport/endpoint.h"
#include "app_lib/sys/sys_error.h"

namespace nimbletrace_test {

using app_lib::service_transport::ServiceTransport;
using app_lib::service_transport::SocketAddress;
using app_lib::sys::UniqueFd;

app_lib::Result<UniqueFd> open_connection(const ServiceTransport& endpoint) {
  app_lib::Result<SocketAddress> address = app_lib::fail("");
  if (const auto* unix_endpoint = std::get_if<ServiceTransport::Unix>(&endpoint.endpoint)) {
    address = app_lib::service_transport::unix_socket_address(unix_endpoint->path);
  } else {
    auto addresses = app_lib::service_transport::resolve_tcp_endpoint(
        std::get<ServiceTransport::Tcp>(endpoint.endpoint).addr);
    if (!addresses) return app_lib::fail(addresses.error());
    if (addresses->empty()) return app_lib::fail("no address");
    address = addresses->front();
  }
  if (!address) return app_lib::fail(address.error());
  UniqueFd fd(app_lib::platform::open_cloexec_socket(address->family(), SOCK_STREAM, 0));
  if (!fd) return app_lib::fail(app_lib::sys::last_sys_error_text());
  if (::connect(fd.get(), address->get(), address->length) != 0) {
    return app_lib::fail(app_lib::sys::last_sys_error_text());
  }
  return fd;
}

UniqueFd connect_raw(const ServiceTransport& endpoint) {
  auto fd = open_connection(endpoint);
  return fd ? std::move(*fd) : UniqueFd{};
}

bool send_raw(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent =
        ::send(fd, bytes.data(), bytes.size(), app_lib::platform::no_sigpipe_send_flags());
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

namespace {

// Reads into `out` until the peer closes (true), `stop_at_feed` sees a line
// feed (true) or the deadline passes (false).
bool receive_into(int fd, std::string& out, bool stop_at_feed, Deadline deadline) {
  char buffer[4096];
  // One byte at a time for a line, so nothing after it is taken from the socket.
  const std::size_t chunk = stop_at_feed ? 1 : sizeof buffer;
  while (wait_for_events(fd, POLLIN, deadline)) {
    const ssize_t got = ::recv(fd, buffer, chunk, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return true;
    out.append(buffer, static_cast<std::size_t>(got));
    if (stop_at_feed && buffer[0] == '\n') return true;
  }
  return false;
}

}  // namespace

std::string receive_until_eof(int fd, std::chrono::milliseconds limit) {
  std::string out;
  if (!receive_into(fd, out, false, deadline_after(limit))) out += TIMED_OUT;
  return out;
}

std::string receive_line(int fd, std::chrono::milliseconds limit) {
  std::string out;
  if (!receive_into(fd, out, true, deadline_after(limit))) out += TIMED_OUT;
  return out;
}

std::string raw_exchange(const ServiceTransport& endpoint, std::string_view bytes, bool half_close,
                         std::chrono::milliseconds limit) {
  auto fd = open_connection(endpoint);
  if (!fd) return "<connect failed: " + fd.error() + ">";
  send_raw(fd->get(), bytes);
  if (half_close) ::shutdown(fd->get(), SHUT_WR);
  return receive_until_eof(fd->get(), limit);
}

LoopbackPort bind_loopback_port() {
  LoopbackPort port{UniqueFd(app_lib::platform::open_cloexec_socket(AF_INET, SOCK_STREAM, 0)), ""};
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(port.socket.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::getsockname(port.socket.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return {};
  }
  port.endpoint = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  return port;
}

std::string free_tcp_endpoint() {
  return bind_loopback_port().endpoint;
}

}  // namespace nimbletrace_test
