#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app_lib/sys/fd.h"
#include "app_lib/sys/result.h"

namespace app_lib::sys {

// A spawned child process. Move-only; a moved-from handle refers to no process.
// Destroying it never signals or waits for the process: ending a child is
// always an explicit kill() then wait().
// Not thread-safe; the owner serialises access.
class ChildProcess {
 public:
  // posix_spawn of `program` (an absolute path, not searched in PATH) with
  // argv[0] set to it, the service's environment and working directory,
  // standard input, output and error on /dev/null, an empty signal mask,
  // default signal dispositions, and no other inherited descriptor; with
  // `standard_input` >= 0, that descriptor as standard input instead.
  // The error is the system error text alone.
  static Result<ChildProcess> spawn(const std::filesystem::path& program,
                                    const std::vector<std::string>& arguments,
                                    int standard_input = -1);

  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() = default;

  pid_t pid() const { return pid_; }
  // The raw wait status once the child has been collected.
  std::optional<int> exit_status() const { return status_; }

  // One waitpid(WNOHANG). nullopt: still running. A collected exit is
  // remembered, and later calls return it without asking the system again.
  Result<std::optional<int>> try_wait();
  // SIGKILL; does nothing and succeeds once the exit has been collected, so a
  // recycled process id is never signalled (on Linux the pidfd makes sure of
  // that even if someone else collected the child).
  Result<void> kill();
  // Blocking wait, restarted after EINTR; returns the remembered status at once
  // if already collected.
  Result<int> wait();

 private:
  ChildProcess(pid_t pid, UniqueFd pin) : pid_(pid), pin_(std::move(pin)) {}
  // Forgets the child after a wait that found it collected by someone else
  // (ECHILD): its id may belong to another process by now.
  void forget();
  std::unexpected<std::string> collect_failed(int error);

  pid_t pid_ = -1;
  // Linux: a pidfd held from the spawn on, through which the child is
  // signalled and waited for; empty elsewhere.
  UniqueFd pin_;
  std::optional<int> status_;
};

}  // namespace app_lib::sys
