#include "app_lib/service_runner/core_child.h"

#include "app_lib/service_runner/service_runner.h"

namespace app_lib::service_runner {

bool ServiceCoreChildSlot::broken() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return broken_;
}

ServiceCoreChildSlot& SERVICE_CORE_CHILD() {
  // Never destroyed: the signal thread may still stop the core while the main
  // thread runs static destructors at exit.
  static ServiceCoreChildSlot* const slot = new ServiceCoreChildSlot();
  return *slot;
}

std::string core_slot_lock_error() {
  return "macOS 服务核心进程状态锁异常";
}

}  // namespace app_lib::service_runner
