#pragma once

#include <array>
#include <string_view>

namespace app_lib::service_ipc::wire {

// The wire texts of the request variants, in variant order (Ping, GetStatus,
// StartCore, StopCore); encoder and decoder must agree on them.
inline constexpr std::array<std::string_view, 4> REQUEST_TYPE_NAMES = {"ping", "get_status",
                                                                       "start_core", "stop_core"};

// The wire texts of ServiceRunnerStatus, by ordinal; case matters.
inline constexpr std::array<std::string_view, 5> STATUS_NAMES = {"Unknown", "Unavailable", "Ready",
                                                                 "Running", "Stopped"};

}  // namespace app_lib::service_ipc::wire
