#include "app_lib/app_lib.h"

#include "app_lib/service_runner/service_runner.h"

namespace app_lib {

Result<void> run_embedded_service_runner_loop() {
  return service_runner::ServiceRunner::run_service_process_loop_with_ready([] {});
}

void request_service_runner_shutdown() {
  service_runner::ServiceRunner::request_service_shutdown();
}

}  // namespace app_lib
