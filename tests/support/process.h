#pragma once

// The one way tests start a program: posix_spawn with a clean signal state,
// owned until it is collected.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app_lib/sys/result.h"
#include "tests/support/wait.h"

namespace nimbletrace_test {

// A child of the test. It starts with standard input on /dev/null, an empty
// signal mask and every signal at its default action, as the service starts
// its core. Destroying it kills the child (SIGKILL) and collects it, so a
// failing test leaves no process behind. Move-only; used by one thread.
class Process {
 public:
  struct User {
    uid_t uid;
    gid_t gid;
    // Supplementary groups besides `gid`.
    std::vector<gid_t> groups{};
  };
  struct Options {
    // argv[0] is the program's absolute path; it is not searched in PATH.
    std::vector<std::string> argv{};
    // Over this process's environment: "NAME=value" sets NAME, a bare "NAME"
    // removes it.
    std::vector<std::string> env{};
    // Standard output and error go to files read back by stdout_text() and
    // stderr_text(); otherwise they are this process's own.
    bool capture_stdout = false;
    bool capture_stderr = false;
    std::filesystem::path cwd{};              // empty: this process's
    std::optional<unsigned long> fd_limit{};  // RLIMIT_NOFILE, soft and hard
    // Ignored from the first instruction, as a parent may leave them (an
    // ignored disposition survives exec).
    std::vector<int> ignored_signals{};
    // Runs as this user, with no supplementary groups and no way back to root.
    std::optional<User> user{};
    // Descriptors of ours the program gets under the same numbers, as a
    // parent hands a child a connection; every other stays behind.
    std::vector<int> inherited_fds{};
  };

  static app_lib::Result<Process> start(Options options);

  Process(Process&& other) noexcept;
  Process& operator=(Process&&) = delete;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process();

  pid_t pid() const { return pid_; }
  // Collects the child if it has exited; false once collected.
  bool running();
  // Does nothing once the child has been collected, so a recycled id is never signalled.
  void signal(int signal_number) const;
  // The raw wait status, or nullopt if the child still runs at the limit.
  std::optional<int> wait_exit(std::chrono::milliseconds limit = WAIT_LIMIT);
  std::string stdout_text() const;
  std::string stderr_text() const;

 private:
  Process() = default;

  pid_t pid_ = -1;
  std::optional<int> status_;
  std::filesystem::path stdout_path_;
  std::filesystem::path stderr_path_;
};

// Runs a program to completion with its standard output captured; returns
// (wait status, output). A program still running at the limit is killed, and
// its status says so. The status is -1 if the program could not be started.
std::pair<int, std::string> run_program(Process::Options options,
                                        std::chrono::milliseconds limit = WAIT_LIMIT);
std::pair<int, std::string> run_program(const std::vector<std::string>& argv,
                                        const std::vector<std::string>& env = {},
                                        std::chrono::milliseconds limit = WAIT_LIMIT,
                                        const std::filesystem::path& cwd = {});

// True for a wait status of a normal exit with status 0.
bool exited_cleanly(const std::optional<int>& status);

}  // namespace nimbletrace_test
