#pragma once

#include <filesystem>

#include "app_lib/service_transport/transport.h"

namespace app_lib::service_runner {

// The endpoint the loop binds and the shutdown request wakes: the TCP endpoint
// text in mock mode, otherwise service.sock in the service root.
service_transport::ServiceTransport service_endpoint(bool mock);

// Where the service must run from in privileged mode.
std::filesystem::path macos_protected_host_path();

}  // namespace app_lib::service_runner
