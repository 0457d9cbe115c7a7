#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app_lib/sys/fd.h"

namespace nimbletrace_test {

inline constexpr std::chrono::seconds PEER_WAIT_LIMIT{20};

// A child process of the test. If the test has not collected it, the
// destructor kills and collects it so no helper outlives a failed test.
class SpawnedProcess {
 public:
  static std::optional<SpawnedProcess> start(const std::filesystem::path& program,
                                             const std::vector<std::string>& arguments);
  SpawnedProcess(SpawnedProcess&& other) noexcept;
  SpawnedProcess& operator=(SpawnedProcess&&) = delete;
  ~SpawnedProcess();

  pid_t pid() const { return pid_; }
  // Blocks until the child exits, at most PEER_WAIT_LIMIT; true once collected.
  bool wait_for_exit();

 private:
  explicit SpawnedProcess(pid_t pid) : pid_(pid) {}
  pid_t pid_ = -1;
};

// A listening Unix socket in its own directory; helper processes started from
// any copy of the test binary connect to it.
class PeerServer {
 public:
  explicit PeerServer(const std::filesystem::path& socket_path);
  // Starts `program --nt-helper NAME <socket path>` and returns the accepted
  // connection (invalid if none arrived in time) together with the child.
  std::pair<app_lib::sys::UniqueFd, std::optional<SpawnedProcess>> connect_helper(
      const std::filesystem::path& program, const std::string& helper);

 private:
  std::filesystem::path path_;
  app_lib::sys::UniqueFd listener_;
};

}  // namespace nimbletrace_test
