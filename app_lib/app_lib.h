#pragma once

#include "app_lib/sys/result.h"

namespace app_lib {

// The boundary between the executable and the runner.

// Runs the service loop with a readiness callback that does nothing.
Result<void> run_embedded_service_runner_loop();

// Asks the running service to shut down; safe from any thread, more than once.
void request_service_runner_shutdown();

}  // namespace app_lib
