#pragma once

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "app_lib/platform/process_identity.h"
#include "app_lib/service_ipc/messages.h"
#include "app_lib/sys/file_read.h"
#include "app_lib/sys/result.h"

namespace app_lib::service_runner {

// Largest configuration a start request may name. The file is read into
// memory whole, by a root process that must go on serving; a larger one is
// refused before anything is allocated for it.
inline constexpr std::size_t SERVICE_CORE_CONFIG_SIZE_LIMIT = std::size_t{64} << 20;

// Set once, by request_service_shutdown; read by the loop before each accept.
extern std::atomic<bool> SERVICE_RUNNER_SHOULD_STOP;

// The runner's operations. No instance state: every setting is read afresh from
// the environment and the file system on each call.
struct ServiceRunner {
  ServiceRunner() = delete;

  // Settings and fixed paths. A fixed path depends on nothing but the build's
  // root prefix, so each is built once. It is never destroyed: the signal
  // thread may still use one while the process runs its exit handlers.
  static bool mock_enabled();
  static std::string endpoint_addr();
  static const std::filesystem::path& macos_service_root();
  static const std::filesystem::path& macos_core_binary_path();
  // Where the service must run from in privileged mode.
  static const std::filesystem::path& macos_protected_host_path();
  // In the service root: the socket, the file naming the authorized client,
  // and the directory the core runs in.
  static const std::filesystem::path& macos_service_socket_path();
  static const std::filesystem::path& macos_authorized_client_file();
  static const std::filesystem::path& macos_runtime_dir();
  static Result<std::filesystem::path> macos_authorized_client_executable();
  // Its two halves, for the loop: the name as the file gives it (trimmed),
  // read through `file`, and that name resolved, each failing with the
  // message above. The reader is the loop's, kept from one connection to
  // the next, and reads the file afresh each time.
  static sys::FileRereader macos_authorized_client_reader();
  static Result<std::string> macos_authorized_client_name(sys::FileRereader& file);
  static Result<std::filesystem::path> macos_authorized_client_resolved(std::string_view named);

  // The service loop; `ready` runs once after a successful bind.
  static Result<void> run_service_process_loop_with_ready(const std::function<void()>& ready);

  // Sets the stop flag, stops the core and wakes the loop. Never fails.
  static void request_service_shutdown();

  // Core launch and supervision. Success values are the texts sent back to
  // the client. With a `requester`, the configuration is resolved and read
  // with that peer's rights only; without one (mock mode, which has no peer
  // identity) with the service's own.
  static Result<std::string> service_start_core_process(
      const service_ipc::ServiceRunnerCoreLaunchConfig& config,
      const std::optional<platform::PeerCredentials>& requester = std::nullopt);
  static Result<std::string> service_stop_core_process();
  static Result<service_ipc::ServiceRunnerStatus> service_core_process_status();
};

}  // namespace app_lib::service_runner
