#pragma once

// Starting the real nimbletrace-service binary against the sandbox root and
// talking to it, for end-to-end tests.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app_lib/service_transport/transport.h"
#include "tests/support/test_support.h"

namespace nimbletrace_test {

// The fixed locations of the compiled-in sandbox root.
struct SandboxPaths {
  std::filesystem::path root;               // the NIMBLETRACE_FS_ROOT prefix
  std::filesystem::path helper_tools;       // .../Library/PrivilegedHelperTools
  std::filesystem::path service_root;       // .../Nimbletrace/ServiceRunner
  std::filesystem::path protected_service;  // helper_tools/nimbletrace-service
  std::filesystem::path core;               // helper_tools/nimbletrace-core
  std::filesystem::path socket;             // service_root/service.sock
  std::filesystem::path authorized_file;    // service_root/authorized-client.path
  std::filesystem::path runtime_dir;        // service_root/runtime
};
SandboxPaths sandbox_paths();

// Wipes the sandbox root and installs a fresh tree: the service symlinked at
// the protected host path, the stand-in core at the core path, and
// authorized-client.path naming `authorized_client` (if given).
void install_sandbox(const std::optional<std::filesystem::path>& authorized_client,
                     bool install_core = true, bool install_service = true);

// One running nimbletrace-service with its standard error captured.
// Destroying it kills the process and collects it.
class ServiceProcess {
 public:
  struct Options {
    std::filesystem::path executable;  // default: the protected host path
    bool mock = false;
    std::string endpoint;                   // NIMBLETRACE_SERVICE_ENDPOINT, if not empty
    std::vector<std::string> extra_env;     // "NAME=value"
    std::optional<unsigned long> fd_limit;  // RLIMIT_NOFILE for the service
    std::vector<int> ignored_signals;       // ignored before the service starts

    static Options privileged(std::filesystem::path executable = {}) {
      Options o;
      o.executable = std::move(executable);
      return o;
    }
    static Options mock_on(std::string endpoint) {
      Options o;
      o.mock = true;
      o.endpoint = std::move(endpoint);
      return o;
    }
  };

  explicit ServiceProcess(Options options);

  pid_t pid() const { return process_ ? process_->pid() : -1; }
  const app_lib::service_transport::ServiceTransport& endpoint() const { return endpoint_; }

  // Waits until the endpoint accepts connections (a socket listening at the
  // Unix path, open to everyone, or the TCP port listening) or the process
  // exits. False on timeout or exit.
  bool wait_ready(std::chrono::milliseconds limit = WAIT_LIMIT);
  void signal(int signal_number) const;
  // The raw wait status, or nullopt if the process is still running at the limit.
  std::optional<int> wait_exit(std::chrono::milliseconds limit = WAIT_LIMIT);
  bool running();
  std::string stderr_text() const;

 private:
  app_lib::service_transport::ServiceTransport endpoint_;
  std::optional<Process> process_;
};

// A fresh sandbox with the stand-in core and this test binary as the
// authorized client, and at most one service under test; stray cores are
// killed before and after each test.
class SandboxServiceTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Starts the service and waits until it listens.
  void start_service(ServiceProcess::Options options = ServiceProcess::Options::privileged());
  // One raw exchange with the running service.
  std::string exchange(std::string_view bytes, bool half_close = false);

  std::optional<ServiceProcess> service_;
};

// The hex SHA-256 of `bytes`, as a request carries it.
std::string sha256_of(std::string_view bytes);

// The start_core request line for a configuration, with the controller at
// 127.0.0.1:`port`.
std::string start_core_line(const std::filesystem::path& config_dir,
                            const std::filesystem::path& config_file, std::string config_sha256,
                            std::uint16_t port = 9090);

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

// Answers that many tests expect.
inline const std::string STARTED =
    response_line(true, "macOS launchd 服务核心启动请求已发送", "Running");
inline const std::string KEPT = response_line(true, "macOS 服务核心已在运行", "Running");
inline const std::string PONG_STOPPED = response_line(true, "service runner pong", "Stopped");
inline const std::string STATUS_STOPPED = response_line(true, "service runner status", "Stopped");
inline const std::string STATUS_RUNNING = response_line(true, "service runner status", "Running");
inline const std::string NOT_RUNNING = response_line(true, "macOS 服务核心当前未运行", "Stopped");
// How every refusal with data Unavailable ends.
inline constexpr std::string_view UNAVAILABLE_END =
    "\"data\":\"Unavailable\",\"protocol_version\":1}\n";

}  // namespace nimbletrace_test
