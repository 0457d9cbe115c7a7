#include "tests/service_transport/socket_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>

#include "app_lib/platform/socket_flags.h"
#include "tests/support/test_support.h"

namespace nimbletrace_test {
namespace {

using app_lib::service_transport::ServiceTransport;
using app_lib::service_transport::ServiceTransportForm;

bool wait_for(int fd, short events, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd entry{fd, events, 0};
    const int rc = ::poll(&entry, 1, static_cast<int>(left.count()));
    if (rc > 0) return true;
    if (rc < 0 && errno != EINTR) return false;
  }
}

std::string tcp_endpoint_of(int listener_fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  ::getsockname(listener_fd, reinterpret_cast<sockaddr*>(&address), &length);
  return "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
}

}  // namespace

BoundListener bind_for_test(ServiceTransportForm form, const std::filesystem::path& dir) {
  const ServiceTransport requested = form == ServiceTransportForm::Unix
                                         ? ServiceTransport::unix_socket(dir / "s.sock")
                                         : ServiceTransport::tcp("127.0.0.1:0");
  auto listener = requested.bind_listener();
  if (!listener) {
    ADD_FAILURE() << listener.error();
    std::abort();
  }
  ServiceTransport endpoint =
      form == ServiceTransportForm::Unix
          ? requested
          : ServiceTransport::tcp(tcp_endpoint_of(listener->native_handle()));
  return {std::move(*listener), std::move(endpoint)};
}

app_lib::Result<app_lib::service_transport::ServiceTransportStream> accept_pending(
    app_lib::service_transport::ServiceTransportListener& listener) {
  if (!wait_for(listener.native_handle(), POLLIN, std::chrono::steady_clock::now() + STEP_LIMIT)) {
    return app_lib::fail("no connection arrived");
  }
  return listener.accept();
}

app_lib::sys::UniqueFd connect_raw(const ServiceTransport& endpoint) {
  if (const auto* unix_endpoint = std::get_if<ServiceTransport::Unix>(&endpoint.endpoint)) {
    app_lib::sys::UniqueFd fd(app_lib::platform::open_cloexec_socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, unix_endpoint->path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return {};
    return fd;
  }
  const std::string& addr = std::get<ServiceTransport::Tcp>(endpoint.endpoint).addr;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(std::stoi(addr.substr(addr.rfind(':') + 1))));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  app_lib::sys::UniqueFd fd(app_lib::platform::open_cloexec_socket(AF_INET, SOCK_STREAM, 0));
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return {};
  return fd;
}

bool send_raw(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

std::string receive_until_eof(int fd) {
  const auto deadline = std::chrono::steady_clock::now() + STEP_LIMIT;
  std::string out;
  char buffer[4096];
  while (wait_for(fd, POLLIN, deadline)) {
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) return out;
    out.append(buffer, static_cast<std::size_t>(got));
  }
  ADD_FAILURE() << "peer did not close in time";
  return out;
}

std::string receive_line(int fd) {
  const auto deadline = std::chrono::steady_clock::now() + STEP_LIMIT;
  std::string out;
  char byte = 0;
  while (wait_for(fd, POLLIN, deadline)) {
    if (::recv(fd, &byte, 1, 0) != 1) return out;
    out.push_back(byte);
    if (byte == '\n') return out;
  }
  ADD_FAILURE() << "no line arrived in time";
  return out;
}

ScriptedPeer::ScriptedPeer(ServiceTransportForm form, const std::filesystem::path& dir,
                           Script script)
    : bound_(bind_for_test(form, dir)) {
  thread_ = std::thread([this, script = std::move(script)] {
    auto stream = accept_pending(bound_.listener);
    if (!stream) {
      ADD_FAILURE() << stream.error();
      return;
    }
    script(*stream);
  });
}

ScriptedPeer::~ScriptedPeer() {
  thread_.join();
}

}  // namespace nimbletrace_test
