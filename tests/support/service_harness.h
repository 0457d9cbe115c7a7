#pragma once

// Starting the real nimbletrace-service binary against the sandbox root and
// talking to it, for end-to-end tests.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app_lib/service_transport/transport.h"
#include "tests/support/test_support.h"

namespace nimbletrace_test {

using namespace std::chrono_literals;

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

// Kills stand-in cores that an earlier test may have left behind.
void kill_stray_cores();

// For a loopback TCP listener on `endpoint` ("127.0.0.1:N"): the length of
// its accept queue (from /proc/net/tcp), 0 once every pending connection has
// been accepted; nullopt while nothing listens there.
std::optional<int> tcp_accept_queue(const std::string& endpoint);

// A free loopback TCP port ("127.0.0.1:N").
std::string free_tcp_endpoint();

// One running nimbletrace-service. Destroying it kills the process (SIGKILL)
// and reaps it, so a failing test leaves nothing behind.
class ServiceProcess {
 public:
  struct Options {
    std::filesystem::path executable;  // default: the protected host path
    bool mock = false;
    std::string endpoint;                   // NIMBLETRACE_SERVICE_ENDPOINT, if not empty
    std::vector<std::string> extra_env;     // "NAME=value"
    std::optional<unsigned long> fd_limit;  // RLIMIT_NOFILE for the service
    // Set to "ignore" before the service starts, as a parent may leave them
    // (an ignored disposition survives exec).
    std::vector<int> ignored_signals;

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
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  pid_t pid() const { return pid_; }
  const app_lib::service_transport::ServiceTransport& endpoint() const { return endpoint_; }

  // Waits until the endpoint accepts connections (socket file present or TCP
  // port listening) or the process exits. False on timeout or exit.
  bool wait_ready(std::chrono::milliseconds timeout = 10s);
  void signal(int signal_number) const;
  // The raw wait status, or nullopt if the process is still running at the deadline.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout = 10s);
  bool running();
  std::string stderr_text() const;

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
  app_lib::service_transport::ServiceTransport endpoint_;
  std::filesystem::path stderr_path_;
};

// Sends raw bytes over a fresh connection and reads until the service closes
// it. `half_close` shuts the sending side after the bytes. Bounded by `timeout`.
std::string raw_exchange(const app_lib::service_transport::ServiceTransport& endpoint,
                         std::string_view bytes, bool half_close = false,
                         std::chrono::milliseconds timeout = 5s);

// Runs a program to completion with stdout captured; returns (wait status, stdout).
// `cwd`, when not empty, is the program's working directory.
std::pair<int, std::string> run_program(const std::vector<std::string>& argv,
                                        const std::vector<std::string>& extra_env = {},
                                        std::chrono::milliseconds timeout = 10s,
                                        const std::filesystem::path& cwd = {});

void poll_pause();

// Polls `condition` until it holds or the timeout passes.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    poll_pause();
  }
  return condition();
}

// True if a process with this id exists and is not a zombie.
bool process_alive(pid_t pid);
// True while the main thread of `pid` sits in poll: the service's loop has
// nothing to do and waits for a client or a shutdown request.
bool waiting_in_poll(pid_t pid);
// Pids of running stand-in cores (by executable name), zombies excluded.
std::vector<pid_t> running_cores();

// True for a wait status of a normal exit with status 0.
bool exited_cleanly(const std::optional<int>& status);

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

}  // namespace nimbletrace_test
