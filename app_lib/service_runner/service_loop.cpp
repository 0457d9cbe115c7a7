#include <poll.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "app_lib/platform/process_identity.h"
#include "app_lib/service_runner/service_endpoint.h"
#include "app_lib/service_runner/service_runner.h"
#include "app_lib/sys/fixed_paths.h"
#include "app_lib/sys/path_text.h"

namespace app_lib::service_runner {

using service_ipc::ServiceRunnerRequest;
using service_ipc::ServiceRunnerStatus;
using service_ipc::StatusResponse;
using service_transport::ServiceTransport;
using service_transport::ServiceTransportStream;

namespace {

constexpr int IDLE_PAUSE_MS = 120;

StatusResponse make_response(bool ok, std::string message, ServiceRunnerStatus data) {
  return StatusResponse{ok, std::move(message), data, service_ipc::SERVICE_IPC_PROTOCOL_VERSION};
}

// The six checks that stand between a privileged service and its socket.
Result<void> check_privileged_install() {
  auto running = platform::current_executable_path();
  if (!running) return fail(running.error());
  auto running_canonical = sys::canonicalize(*running);
  if (!running_canonical) return fail("解析 macOS 服务宿主路径失败: " + running_canonical.error());
  auto protected_canonical = sys::canonicalize(macos_protected_host_path());
  if (!protected_canonical) {
    return fail("解析受保护的 macOS 服务宿主失败: " + protected_canonical.error());
  }
  if (!sys::same_components(*running_canonical, *protected_canonical)) {
    return fail("拒绝从非受保护目录运行 macOS 服务: " + sys::path_text(*running_canonical));
  }
  if (!sys::exists_following_links(ServiceRunner::macos_core_binary_path())) {
    return fail("macOS 服务核心文件不存在，请重新安装 PKG");
  }
  auto client = ServiceRunner::macos_authorized_client_executable();
  if (!client) return fail(client.error());
  return {};
}

// Waits until a client is pending or the idle pause is over, whichever comes
// first, so a client arriving at an idle service is served at once while the
// idle cost stays one wake-up per pause.
void wait_for_client(int listener_fd) {
  pollfd pfd{listener_fd, POLLIN, 0};
  if (::poll(&pfd, 1, IDLE_PAUSE_MS) < 0 && errno != EINTR) {
    // poll itself failing must not turn the loop into a spin.
    timespec pause{0, IDLE_PAUSE_MS * 1'000'000L};
    ::nanosleep(&pause, nullptr);
  }
}

// A pause that does not end early: after a failed accept the pending
// connection is still queued, so waiting on the listener would return at once
// and the loop would spin while descriptors are exhausted.
void pause_after_accept_failure() {
  timespec pause{0, IDLE_PAUSE_MS * 1'000'000L};
  while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
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
Result<void> serve_connection(ServiceTransportStream& stream, bool mock,
                              ServiceRunnerStatus& last_status) {
  std::optional<platform::PeerCredentials> requester;
  if (!mock) {
    // Read afresh for every connection, so replacing the file takes effect
    // without a restart. Without an authorized client there is nobody the
    // service may serve, so it ends instead of guessing; the core is left alone.
    auto authorized = ServiceRunner::macos_authorized_client_executable();
    if (!authorized) return fail(authorized.error());
    auto verified = stream.validate_client_executable(*authorized);
    if (!verified) {
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
  (void)stream.write_response(dispatch(*request, requester, last_status));
  return {};
}

// Whatever a request makes the service run into (an allocation that fails
// included) is that request's failure, never the end of a root service that
// holds a running core and a socket.
Result<void> serve_guarded(ServiceTransportStream& stream, bool mock,
                           ServiceRunnerStatus& last_status) {
  std::string cause;
  try {
    return serve_connection(stream, mock, last_status);
  } catch (const std::exception& error) {
    cause = error.what();
  } catch (...) {
    cause = "unknown exception";
  }
  try {
    (void)stream.write_response(make_response(false, "处理 macOS 服务请求失败: " + cause,
                                              ServiceRunnerStatus::Unavailable));
  } catch (...) {
    // Nothing more can be told to this client; the connection closes.
  }
  return {};
}

}  // namespace

ServiceTransport service_endpoint(bool mock) {
  if (mock) return ServiceTransport::tcp(ServiceRunner::endpoint_addr());
  return ServiceTransport::unix_socket(ServiceRunner::macos_service_root() / "service.sock");
}

std::filesystem::path macos_protected_host_path() {
  return sys::privileged_helper_tools_dir() / "nimbletrace-service";
}

Result<void> ServiceRunner::run_service_process_loop_with_ready(
    const std::function<void()>& ready) {
  const bool mock = mock_enabled();
  if (!mock) {
    if (auto checked = check_privileged_install(); !checked) return fail(checked.error());
  }

  auto listener = service_endpoint(mock).bind_listener();
  if (!listener) return fail(listener.error());
  if (ready) ready();

  ServiceRunnerStatus last_status = ServiceRunnerStatus::Stopped;
  while (!SERVICE_RUNNER_SHOULD_STOP.load(std::memory_order_acquire)) {
    auto stream = listener->accept();
    if (!stream) {
      if (stream.error().find("would block") != std::string::npos) {
        wait_for_client(listener->native_handle());
      } else {
        std::string line = stream.error() + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
        pause_after_accept_failure();
      }
      continue;
    }

    if (auto served = serve_guarded(*stream, mock, last_status); !served) {
      return fail(served.error());
    }
  }

  (void)service_stop_core_process();
  return {};
}

}  // namespace app_lib::service_runner
