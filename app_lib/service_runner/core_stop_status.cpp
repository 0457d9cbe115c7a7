// The two requests that act on the running core without starting one: stop
// it, and report whether it still runs.

#include "app_lib/service_runner/core_child.h"
#include "app_lib/service_runner/service_runner.h"

namespace app_lib::service_runner {

using service_ipc::ServiceRunnerStatus;

Result<std::string> ServiceRunner::service_stop_core_process() {
  return SERVICE_CORE_CHILD().with_lock(
      [](std::optional<ServiceCoreChildState>& slot) -> std::string {
        if (!slot) return "macOS 服务核心当前未运行";
        ServiceCoreChildState record = std::move(*slot);
        slot.reset();
        // Failures are ignored: a child that is already gone needs no stopping.
        (void)record.child.kill();
        (void)record.child.wait();
        return "macOS 服务核心已停止";
      });
}

Result<ServiceRunnerStatus> ServiceRunner::service_core_process_status() {
  auto probed = SERVICE_CORE_CHILD().with_lock(
      [](std::optional<ServiceCoreChildState>& slot) -> Result<ServiceRunnerStatus> {
        if (!slot) return ServiceRunnerStatus::Stopped;
        auto exited = slot->child.try_wait();
        if (exited && !*exited) return ServiceRunnerStatus::Running;
        // Either collected now, or a process the service can no longer account
        // for; in both cases the record is dropped without a signal.
        slot.reset();
        if (!exited) return fail("检查 macOS 服务核心进程状态失败: " + exited.error());
        return ServiceRunnerStatus::Stopped;
      });
  if (!probed) return fail(std::move(probed.error()));
  return *probed;
}

}  // namespace app_lib::service_runner
