#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "app_lib/platform/process_identity.h"
#include "app_lib/service_runner/service_endpoint.h"
#include "app_lib/service_runner/service_runner.h"
#include "app_lib/service_transport/connection_closer.h"
#include "app_lib/sys/descriptor_limit.h"
#include "app_lib/sys/message.h"
#include "app_lib/sys/path_text.h"

namespace app_lib::service_runner {

using service_ipc::ServiceRunnerRequest;
using service_ipc::ServiceRunnerStatus;
using service_ipc::StatusResponse;
using service_transport::ConnectionCloser;
using service_transport::ServiceTransport;
using service_transport::ServiceTransportStream;

namespace {

// The pause after an accept failure, and the longest idle wait of a loop
// that has no shutdown pipe to wait on.
constexpr int PAUSE_MS = 120;

StatusResponse make_response(bool ok, std::string message, ServiceRunnerStatus data) {
  return StatusResponse{ok, std::move(message), data, service_ipc::SERVICE_IPC_PROTOCOL_VERSION};
}

// The six checks that stand between a privileged service and its socket.
Result<void> check_privileged_install() {
  auto running = platform::current_executable_path();
  if (!running) return fail(running.error());
  auto running_canonical = sys::canonicalize(*running);
  if (!running_canonical)
    return fail(sys::with_cause("解析 macOS 服务宿主路径失败", running_canonical.error()));
  auto protected_canonical = sys::canonicalize(ServiceRunner::macos_protected_host_path());
  if (!protected_canonical) {
    return fail(sys::with_cause("解析受保护的 macOS 服务宿主失败", protected_canonical.error()));
  }
  if (!sys::same_components(*running_canonical, *protected_canonical)) {
    return fail(
        sys::with_cause("拒绝从非受保护目录运行 macOS 服务", sys::path_text(*running_canonical)));
  }
  if (!sys::exists_following_links(ServiceRunner::macos_core_binary_path())) {
    return fail("macOS 服务核心文件不存在，请重新安装 PKG");
  }
  auto client = ServiceRunner::macos_authorized_client_executable();
  if (!client) return fail(client.error());
  return {};
}

// Sleeps after poll itself failed, so that the loop does not spin.
void pause_briefly() {
  timespec pause{0, PAUSE_MS * 1'000'000L};
  ::nanosleep(&pause, nullptr);
}

// The longest wait for the closer: until its channel has room, or until a
// dead helper may be started again.
int closer_timeout(const ConnectionCloser& closer) {
  return static_cast<int>(std::max<long long>(closer.until_restart().count(), 1));
}

// Waits, without a timeout, until a client is pending or a shutdown is
// requested, so an idle service costs no wake-up at all and a client is
// served at once. Either way the caller goes back to the stop flag. Without a
// shutdown pipe only the ping could end the wait, so it ends after the pause
// as well. While the closer holds connections, room in its channel ends the
// wait too.
void wait_for_client(int listener_fd, const sys::WakePipe* wake, const ConnectionCloser* closer) {
  pollfd pfds[3] = {{listener_fd, POLLIN, 0},
                    {wake != nullptr ? wake->wait_fd() : -1, POLLIN, 0},
                    {-1, POLLOUT, 0}};
  int timeout = wake != nullptr ? -1 : PAUSE_MS;
  if (closer != nullptr && closer->holds_any()) {
    pfds[2].fd = closer->channel_fd();
    timeout = timeout < 0 ? closer_timeout(*closer) : std::min(timeout, closer_timeout(*closer));
  }
  const int ready = ::poll(pfds, 3, timeout);
  if (ready < 0 && errno != EINTR) return pause_briefly();
  if (ready > 0 && (pfds[1].revents & POLLIN) != 0) wake->drain();
}

// While the closer can take nothing more, the loop accepts nothing more: it
// waits for room in the channel, a restart of the helper, or a shutdown.
void wait_for_closer(const ConnectionCloser& closer, const sys::WakePipe* wake) {
  pollfd pfds[2] = {{closer.channel_fd(), POLLOUT, 0},
                    {wake != nullptr ? wake->wait_fd() : -1, POLLIN, 0}};
  const int ready = ::poll(pfds, 2, std::min(closer_timeout(closer), PAUSE_MS));
  if (ready < 0 && errno != EINTR) return pause_briefly();
  if (ready > 0 && (pfds[1].revents & POLLIN) != 0) wake->drain();
}

// A pause that a pending client does not end: after a failed accept the
// connection is still queued, so waiting on the listener would return at once
// and the loop would spin while descriptors are exhausted. A shutdown request
// ends it early.
void pause_after_accept_failure(const sys::WakePipe* wake) {
  if (wake == nullptr) {
    timespec pause{0, PAUSE_MS * 1'000'000L};
    while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
    return;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(PAUSE_MS);
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    pollfd pfd{wake->wait_fd(), POLLIN, 0};
    const int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
    if (ready > 0 && (pfd.revents & POLLIN) != 0) {
      wake->drain();
      return;
    }
    if (ready < 0 && errno != EINTR) {
      timespec pause{0, PAUSE_MS * 1'000'000L};
      ::nanosleep(&pause, nullptr);
      return;
    }
  }
}

StatusResponse dispatch(const ServiceRunnerRequest& request,
                        const std::optional<platform::PeerCredentials>& requester,
                        ServiceRunnerStatus& last_status) {
  struct Visitor {
    const std::optional<platform::PeerCredentials>& requester;
    ServiceRunnerStatus& last;

    StatusResponse probe(std::string_view text) {
      auto status = ServiceRunner::service_core_process_status();
      if (!status) return make_response(false, status.error(), ServiceRunnerStatus::Unavailable);
      last = *status;
      return make_response(true, std::string(text), *status);
    }
    StatusResponse operator()(const service_ipc::Ping&) { return probe("service runner pong"); }
    StatusResponse operator()(const service_ipc::GetStatus&) {
      return probe("service runner status");
    }
    StatusResponse operator()(const service_ipc::StopCore&) {
      auto stopped = ServiceRunner::service_stop_core_process();
      if (!stopped) return make_response(false, stopped.error(), last);
      last = ServiceRunnerStatus::Stopped;
      return make_response(true, std::move(*stopped), ServiceRunnerStatus::Stopped);
    }
    StatusResponse operator()(const service_ipc::StartCore& start) {
      auto started = ServiceRunner::service_start_core_process(start.launch, requester);
      if (!started) {
        return make_response(false, started.error(), ServiceRunnerStatus::Unavailable);
      }
      last = ServiceRunnerStatus::Running;
      return make_response(true, std::move(*started), ServiceRunnerStatus::Running);
    }
  };
  return std::visit(Visitor{requester, last_status}, request);
}

// One exchange on an accepted connection. An error ends the loop.
// `authorized_file` is null in mock mode, where nobody's identity is checked.
Result<void> serve_connection(ServiceTransportStream& stream, sys::FileRereader* authorized_file,
                              ServiceRunnerStatus& last_status) {
  std::optional<platform::PeerCredentials> requester;
  if (authorized_file != nullptr) {
    // Read afresh for every connection, so replacing the file takes effect
    // without a restart. Without an authorized client there is nobody the
    // service may serve, so it ends instead of guessing; the core is left alone.
    auto named = ServiceRunner::macos_authorized_client_name(*authorized_file);
    if (!named) return fail(named.error());
    // The check resolves the name itself, and only when the peer's own
    // name differs from it. Whether it resolves is asked again only for a
    // refusal: a name that leads nowhere ends the loop, just as it would
    // had it been resolved before the check, since an accepted peer runs
    // the very file the name leads to.
    auto verified = stream.validate_client_executable(*named);
    if (!verified) {
      if (auto authorized = ServiceRunner::macos_authorized_client_resolved(*named); !authorized) {
        return fail(authorized.error());
      }
      (void)stream.write_response(
          make_response(false, verified.error(), ServiceRunnerStatus::Unavailable));
      return {};
    }
    requester = std::move(*verified);
  }

  auto request = stream.read_request();
  if (!request) {
    (void)stream.write_response(
        make_response(false, request.error(), ServiceRunnerStatus::Unavailable));
    return {};
  }
  // Only starting the core acts with the requester's rights, and only it
  // needs the groups.
  if (requester && std::holds_alternative<service_ipc::StartCore>(*request)) {
    requester->groups = stream.verified_peer_groups();
  }
  (void)stream.write_response(dispatch(*request, requester, last_status));
  return {};
}

// Whatever a request makes the service run into (an allocation that fails
// included) is that request's failure, never the end of a root service that
// holds a running core and a socket.
Result<void> serve_guarded(ServiceTransportStream& stream, sys::FileRereader* authorized_file,
                           ServiceRunnerStatus& last_status) {
  std::string cause;
  try {
    return serve_connection(stream, authorized_file, last_status);
  } catch (const std::exception& error) {
    cause = error.what();
  } catch (...) {
    cause = "unknown exception";
  }
  try {
    (void)stream.write_response(make_response(false,
                                              sys::with_cause("处理 macOS 服务请求失败", cause),
                                              ServiceRunnerStatus::Unavailable));
  } catch (...) {
    // Nothing more can be told to this client; the connection closes.
  }
  return {};
}

}  // namespace

ServiceTransport service_endpoint(bool mock) {
  if (mock) return ServiceTransport::tcp(ServiceRunner::endpoint_addr());
  return ServiceTransport::unix_socket(ServiceRunner::macos_service_socket_path());
}

Result<void> ServiceRunner::run_service_process_loop_with_ready(
    const std::function<void()>& ready) {
  const bool mock = mock_enabled();
  if (!mock) {
    if (auto checked = check_privileged_install(); !checked) return fail(checked.error());
  }

  // Made before the first wait, so that a shutdown requested from here on
  // always finds it. Without it the loop still ends: the ping wakes it, or
  // the pause in wait_for_client runs out.
  const auto& shutdown_wake = service_shutdown_wake();
  const sys::WakePipe* wake = shutdown_wake ? &*shutdown_wake : nullptr;

  // Declared first so that it outlives the listener, which it closes.
  std::optional<ConnectionCloser> closer;
  auto listener = service_endpoint(mock).bind_listener();
  if (!listener) return fail(listener.error());
  if (listener->may_carry_descriptors()) {
    // A backstop: no read of the service's installs what a client sent.
    sys::raise_descriptor_limit();
    auto program = platform::current_executable_path();
    if (!program) return fail(program.error());
    closer.emplace(std::move(*program),
                   std::vector<std::string>{std::string(service_transport::CONNECTION_CLOSER_ROLE)});
    listener->set_closer(&*closer);
  }
  if (ready) ready();

  ServiceRunnerStatus last_status = ServiceRunnerStatus::Stopped;
  std::optional<sys::FileRereader> authorized_file;
  if (!mock) authorized_file.emplace(macos_authorized_client_reader());
  while (!SERVICE_RUNNER_SHOULD_STOP.load(std::memory_order_acquire)) {
    if (closer && closer->holds_any()) {
      closer->pump();
      if (!closer->has_room()) {
        wait_for_closer(*closer, wake);
        continue;
      }
    }
    auto stream = listener->accept();
    if (!stream) {
      if (stream.error().find("would block") != std::string::npos) {
        wait_for_client(listener->native_handle(), wake, closer ? &*closer : nullptr);
      } else {
        std::string line = stream.error() + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
        pause_after_accept_failure(wake);
      }
      continue;
    }

    if (auto served =
            serve_guarded(*stream, authorized_file ? &*authorized_file : nullptr, last_status);
        !served) {
      return fail(served.error());
    }
  }

  (void)service_stop_core_process();
  return {};
}

}  // namespace app_lib::service_runner
