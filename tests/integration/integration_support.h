#pragma once

#include <filesystem>
#include <string>

#include "tests/support/service_harness.h"
#include "tests/support/test_support.h"

namespace nimbletrace_test {

// A `.nimbletrace/config.yaml` in a temporary directory and the request line
// that starts the core on it.
struct CoreConfig {
  TempDir dir;
  std::filesystem::path config_dir;
  std::filesystem::path config_file;

  explicit CoreConfig(std::string_view contents = "listen: 127.0.0.1\n");
  std::string start_line(std::uint16_t port = 9090) const;
};

// Compact response lines as the service writes them.
std::string response_line(bool ok, std::string_view message, std::string_view data);

inline constexpr std::string_view PING_LINE = "{\"type\":\"ping\"}\n";
inline constexpr std::string_view STATUS_LINE = "{\"type\":\"get_status\"}\n";
inline constexpr std::string_view STOP_LINE = "{\"type\":\"stop_core\"}\n";

}  // namespace nimbletrace_test
