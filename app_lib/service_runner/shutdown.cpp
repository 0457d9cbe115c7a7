#include <chrono>

#include "app_lib/service_runner/service_endpoint.h"
#include "app_lib/service_runner/service_runner.h"

namespace app_lib::service_runner {

std::atomic<bool> SERVICE_RUNNER_SHOULD_STOP{false};

namespace {
constexpr std::chrono::milliseconds WAKE_UP_PING_LIMIT{500};
}

const Result<sys::WakePipe>& service_shutdown_wake() {
  static const auto* const wake = new Result<sys::WakePipe>(sys::WakePipe::create());
  return *wake;
}

void ServiceRunner::request_service_shutdown() {
  SERVICE_RUNNER_SHOULD_STOP.store(true);
  // Stop the core here rather than waiting for the loop to notice the flag:
  // the loop may be busy with a client for up to its connection budget.
  (void)service_stop_core_process();
  // Wake the loop so it sees the flag now. The pipe needs no socket file;
  // the ping goes out as well, for a loop that had no pipe to wait on.
  // Whatever comes back (a refusal by the peer check, a failure to connect
  // because the loop already ended) does not matter.
  if (const auto& wake = service_shutdown_wake()) wake->signal();
  (void)service_endpoint(mock_enabled()).send_request(service_ipc::Ping{}, WAKE_UP_PING_LIMIT);
}

}  // namespace app_lib::service_runner
