#include "tests/support/transport_peer.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include "tests/support/test_support.h"

namespace nimbletrace_test {

using app_lib::service_transport::ServiceTransport;
using app_lib::service_transport::ServiceTransportForm;
using app_lib::service_transport::ServiceTransportListener;
using app_lib::service_transport::ServiceTransportStream;

namespace {

std::string tcp_endpoint_of(int listener_fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  ::getsockname(listener_fd, reinterpret_cast<sockaddr*>(&address), &length);
  return "127.0.0.1:" +
         std::to_string(ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port));
}

// The helpers connect_helper starts; argv[0] is the socket path.
NIMBLETRACE_TEST_HELPER(peer_connect_and_hold) {
  if (argc < 1) return 2;
  const auto fd = connect_raw(ServiceTransport::unix_socket(argv[0]));
  if (!fd || !send_raw(fd.get(), "x")) return 3;
  (void)receive_until_eof(fd.get(), SLOW_WAIT_LIMIT);
  return 0;
}

NIMBLETRACE_TEST_HELPER(peer_connect_and_exit) {
  if (argc < 1) return 2;
  const auto fd = connect_raw(ServiceTransport::unix_socket(argv[0]));
  return fd && send_raw(fd.get(), "x") ? 0 : 3;
}

}  // namespace

std::string form_name(const testing::TestParamInfo<ServiceTransportForm>& info) {
  return info.param == ServiceTransportForm::Unix ? "Unix" : "Tcp";
}

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

app_lib::Result<ServiceTransportStream> accept_pending(ServiceTransportListener& listener,
                                                       std::chrono::milliseconds limit) {
  if (!wait_for_events(listener.native_handle(), POLLIN, deadline_after(limit))) {
    return app_lib::fail("no connection arrived");
  }
  return listener.accept();
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

PeerServer::PeerServer(const std::filesystem::path& dir)
    : bound_(bind_for_test(ServiceTransportForm::Unix, dir)) {}

std::pair<std::optional<ServiceTransportStream>, std::optional<Process>> PeerServer::connect_helper(
    const std::filesystem::path& program, const std::string& helper) {
  const auto& socket = std::get<ServiceTransport::Unix>(bound_.endpoint.endpoint).path;
  auto child = Process::start({.argv = {program.string(), "--nt-helper", helper, socket.string()}});
  if (!child) {
    ADD_FAILURE() << child.error();
    return {std::nullopt, std::nullopt};
  }
  // A fresh copy of the test binary may take a while to start under the sanitizers.
  auto stream = accept_pending(bound_.listener, SLOW_WAIT_LIMIT);
  char byte = 0;
  if (!stream ||
      !wait_for_events(stream->native_handle(), POLLIN, deadline_after(SLOW_WAIT_LIMIT)) ||
      ::recv(stream->native_handle(), &byte, 1, 0) != 1) {
    return {std::nullopt, std::move(*child)};
  }
  return {std::move(*stream), std::move(*child)};
}

}  // namespace nimbletrace_test
