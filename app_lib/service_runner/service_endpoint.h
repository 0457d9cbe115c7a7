#pragma once

#include <filesystem>

#include "app_lib/service_transport/transport.h"
#include "app_lib/sys/result.h"
#include "app_lib/sys/wake_pipe.h"

namespace app_lib::service_runner {

// The endpoint the loop binds and the shutdown request wakes: the TCP endpoint
// text in mock mode, otherwise service.sock in the service root.
service_transport::ServiceTransport service_endpoint(bool mock);

// The loop's second thing to wait on besides the listener: the shutdown
// request signals it, so the loop wakes even when the wake-up ping cannot
// reach the socket. Made once per process on first use, from either thread,
// and never destroyed, since the detached signal thread may still be using it
// while the process exits.
const Result<sys::WakePipe>& service_shutdown_wake();

}  // namespace app_lib::service_runner
