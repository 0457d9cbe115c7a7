#include "tests/support/service_harness.h"

#include <sys/stat.h>
#include <sys/un.h>

#include <system_error>

#include "app_lib/service_ipc/codec.h"
#include "app_lib/service_runner/service_runner.h"
#include "app_lib/sys/fixed_paths.h"
#include "app_lib/sys/sha256.h"

namespace nimbletrace_test {

namespace fs = std::filesystem;
using app_lib::service_transport::ServiceTransport;

SandboxPaths sandbox_paths() {
  SandboxPaths p;
  p.root = std::string(app_lib::sys::fs_root());
  p.helper_tools = app_lib::sys::privileged_helper_tools_dir();
  using app_lib::service_runner::ServiceRunner;
  p.service_root = ServiceRunner::macos_service_root();
  p.protected_service = ServiceRunner::macos_protected_host_path();
  p.core = ServiceRunner::macos_core_binary_path();
  p.socket = ServiceRunner::macos_service_socket_path();
  p.authorized_file = ServiceRunner::macos_authorized_client_file();
  p.runtime_dir = ServiceRunner::macos_runtime_dir();
  return p;
}

void install_sandbox(const std::optional<fs::path>& authorized_client, bool install_core,
                     bool install_service) {
  const SandboxPaths p = sandbox_paths();
  // The sandbox must never be the real root: a test build always has a prefix.
  ASSERT_FALSE(p.root.empty()) << "tests need a build with NIMBLETRACE_FS_ROOT set";
  // CMake picks a root short enough (cmake/test_area.cmake); this catches
  // its idea of the socket's place going stale.
  ASSERT_LT(p.socket.native().size(), sizeof(sockaddr_un{}.sun_path))
      << p.socket << " does not fit a Unix socket address";
  std::error_code ec;
  fs::remove_all(p.root, ec);
  fs::create_directories(p.helper_tools);
  fs::create_directories(p.service_root);
  if (install_service) fs::create_symlink(bin_dir() / "nimbletrace-service", p.protected_service);
  if (install_core) fs::create_symlink(core_stub_path(), p.core);
  if (authorized_client) write_file(p.authorized_file, authorized_client->string() + "\n");
}

ServiceProcess::ServiceProcess(Options options)
    : endpoint_(options.mock ? ServiceTransport::tcp(options.endpoint.empty() ? "127.0.0.1:39217"
                                                                              : options.endpoint)
                             : ServiceTransport::unix_socket(sandbox_paths().socket)) {
  if (options.executable.empty()) options.executable = sandbox_paths().protected_service;
  // The test's own environment must not choose the mode.
  std::vector<std::string> env{"NIMBLETRACE_SERVICE_MODE", "NIMBLETRACE_SERVICE_ENDPOINT"};
  if (options.mock) env.emplace_back("NIMBLETRACE_SERVICE_MODE=mock");
  if (!options.endpoint.empty()) env.push_back("NIMBLETRACE_SERVICE_ENDPOINT=" + options.endpoint);
  env.insert(env.end(), options.extra_env.begin(), options.extra_env.end());
  auto process = Process::start({.argv = {options.executable.string()},
                                 .env = std::move(env),
                                 .capture_stderr = true,
                                 .fd_limit = options.fd_limit,
                                 .ignored_signals = options.ignored_signals});
  if (!process) {
    ADD_FAILURE() << process.error();
    return;
  }
  process_.emplace(std::move(*process));
}

bool ServiceProcess::running() {
  return process_ && process_->running();
}

bool ServiceProcess::wait_ready(std::chrono::milliseconds limit) {
  return eventually(
             [&] {
               if (!running()) return true;
               if (const auto* u = std::get_if<ServiceTransport::Unix>(&endpoint_.endpoint)) {
                 // A killed service leaves a socket file of the final mode, so
                 // the file alone may be the old one. The mode is set after
                 // listen(): a listener alone may still keep clients out.
                 struct stat st {};
                 return unix_listening(u->path, pid()) && ::stat(u->path.c_str(), &st) == 0 &&
                        S_ISSOCK(st.st_mode) && (st.st_mode & 0777) == 0666;
               }
               return tcp_accept_queue(std::get<ServiceTransport::Tcp>(endpoint_.endpoint).addr)
                   .has_value();
             },
             limit) &&
         running();
}

void ServiceProcess::signal(int signal_number) const {
  if (process_) process_->signal(signal_number);
}

std::optional<int> ServiceProcess::wait_exit(std::chrono::milliseconds limit) {
  return process_ ? process_->wait_exit(limit) : std::nullopt;
}

std::string ServiceProcess::stderr_text() const {
  return process_ ? process_->stderr_text() : std::string();
}

void SandboxServiceTest::SetUp() {
  kill_stray_cores();
  install_sandbox(self_executable());
}

void SandboxServiceTest::TearDown() {
  service_.reset();
  kill_stray_cores();
}

void SandboxServiceTest::start_service(ServiceProcess::Options options) {
  if (service_) {
    // A killed service leaves its socket file behind, which would pass for
    // the new one's before that one listens.
    service_.reset();
    std::error_code ec;
    fs::remove(sandbox_paths().socket, ec);
  }
  service_.emplace(std::move(options));
  ASSERT_TRUE(service_->wait_ready()) << service_->stderr_text();
}

std::string SandboxServiceTest::exchange(std::string_view bytes, bool half_close) {
  return raw_exchange(service_->endpoint(), bytes, half_close);
}

std::string sha256_of(std::string_view bytes) {
  return app_lib::sys::sha256_hex(bytes).value_or("");
}

std::string start_core_line(const fs::path& config_dir, const fs::path& config_file,
                            std::string config_sha256, std::uint16_t port) {
  app_lib::service_ipc::ServiceRunnerCoreLaunchConfig launch;
  launch.config_dir = config_dir.string();
  launch.config_file = config_file.string();
  launch.config_sha256 = std::move(config_sha256);
  launch.controller_host = "127.0.0.1";
  launch.controller_port = port;
  std::string line;
  EXPECT_OK(app_lib::service_ipc::encode_request(app_lib::service_ipc::StartCore{launch}, line));
  return line + "\n";
}

CoreConfig::CoreConfig(std::string_view contents)
    : config_dir(dir / ".nimbletrace"), config_file(config_dir / "config.yaml") {
  fs::create_directories(config_dir);
  write_file(config_file, contents);
}

std::string CoreConfig::start_line(std::uint16_t port) const {
  return start_core_line(config_dir, config_file, sha256_of(read_file(config_file)), port);
}

std::string response_line(bool ok, std::string_view message, std::string_view data) {
  return std::string("{\"ok\":") + (ok ? "true" : "false") + ",\"message\":\"" +
         std::string(message) + "\",\"data\":\"" + std::string(data) +
         "\",\"protocol_version\":1}\n";
}

}  // namespace nimbletrace_test
