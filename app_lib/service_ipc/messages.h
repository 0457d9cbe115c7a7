#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "app_lib/sys/result.h"

namespace app_lib::service_ipc {

inline constexpr std::uint32_t SERVICE_IPC_PROTOCOL_VERSION = 1;

enum class ServiceRunnerStatus : std::uint8_t { Unknown, Unavailable, Ready, Running, Stopped };

// The wire text of a status: exactly its name.
std::string_view status_name(ServiceRunnerStatus status);

struct ServiceRunnerCoreLaunchConfig {
  std::string config_dir;
  std::string config_file;
  std::string config_sha256;
  std::string controller_host;
  std::uint16_t controller_port = 0;

  friend bool operator==(const ServiceRunnerCoreLaunchConfig&,
                         const ServiceRunnerCoreLaunchConfig&) = default;
};

struct Ping {
  friend bool operator==(const Ping&, const Ping&) = default;
};
struct GetStatus {
  friend bool operator==(const GetStatus&, const GetStatus&) = default;
};
struct StartCore {
  ServiceRunnerCoreLaunchConfig launch;
  friend bool operator==(const StartCore&, const StartCore&) = default;
};
struct StopCore {
  friend bool operator==(const StopCore&, const StopCore&) = default;
};

// Tagged by the wire member "type": "ping", "get_status", "start_core", "stop_core".
using ServiceRunnerRequest = std::variant<Ping, GetStatus, StartCore, StopCore>;

// The wire text of the request's "type" member; empty only for a variant left
// valueless by an exception.
std::string_view request_type_name(const ServiceRunnerRequest& request);

template <class T>
struct ServiceRunnerResponse {
  bool ok = false;
  std::string message;
  std::optional<T> data;
  std::uint32_t protocol_version = 0;

  friend bool operator==(const ServiceRunnerResponse&, const ServiceRunnerResponse&) = default;
};

using StatusResponse = ServiceRunnerResponse<ServiceRunnerStatus>;

}  // namespace app_lib::service_ipc
