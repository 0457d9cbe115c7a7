#include "tests/support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <system_error>

#include "app_lib/sys/sys_error.h"
#include "tests/support/test_support.h"

extern char** environ;

namespace nimbletrace_test {

namespace fs = std::filesystem;

namespace {

// exec_prepared NOFILE|- SIGNALS|- UID:GID|- PROGRAM ARGS...: sets
// RLIMIT_NOFILE, ignores the comma-separated signals, drops to the user, then
// becomes PROGRAM with this process's environment. Exits 127 if it cannot.
// posix_spawn can do none of the three in the child, so this helper does them
// and execs: the program runs under the same process id from its first
// instruction.
NIMBLETRACE_TEST_HELPER(exec_prepared) {
  if (argc < 4) return 127;
  if (std::strcmp(argv[0], "-") != 0) {
    const rlim_t value = std::strtoull(argv[0], nullptr, 10);
    const rlimit limit{value, value};
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return 127;
  }
  if (std::strcmp(argv[1], "-") != 0) {
    std::istringstream list(argv[1]);
    for (std::string item; std::getline(list, item, ',');) {
      if (::signal(std::stoi(item), SIG_IGN) == SIG_ERR) return 127;
    }
  }
  if (std::strcmp(argv[2], "-") != 0) {
    // "uid:gid" and then ":group" for each supplementary group.
    char* next = nullptr;
    const auto uid = static_cast<uid_t>(std::strtoul(argv[2], &next, 10));
    const auto gid = static_cast<gid_t>(std::strtoul(next + 1, &next, 10));
    std::vector<gid_t> groups;
    while (*next == ':') groups.push_back(static_cast<gid_t>(std::strtoul(next + 1, &next, 10)));
    if (!drop_privileges(uid, gid, groups)) return 127;
  }
  ::execve(argv[3], argv + 3, environ);
  return 127;
}

std::vector<char*> c_strings(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

std::vector<std::string> environment_with(const std::vector<std::string>& overrides) {
  const auto name_of = [](std::string_view entry) { return entry.substr(0, entry.find('=')); };
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    bool overridden = false;
    for (const auto& o : overrides) overridden = overridden || name_of(o) == name_of(entry);
    if (!overridden) env.emplace_back(entry);
  }
  for (const auto& o : overrides) {
    if (o.find('=') != std::string::npos) env.push_back(o);
  }
  return env;
}

// A file for one captured stream; invalid (and `path` empty) if none could be made.
int capture_file(fs::path& path) {
  std::string pattern = (temp_root() / "nt-output-XXXXXX").native();
  const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd >= 0) path = pattern;
  return fd;
}

class SpawnSetup {
 public:
  SpawnSetup() {
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawnattr_init(&attributes);
  }
  ~SpawnSetup() {
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attributes);
    for (const int fd : opened) ::close(fd);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  std::vector<int> opened;
};

}  // namespace

app_lib::Result<Process> Process::start(Options options) {
  if (options.argv.empty()) return app_lib::fail("no program to start");
  Process process;
  SpawnSetup setup;
  ::posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
  for (const auto& [wanted, path, target] :
       {std::tuple{options.capture_stdout, &process.stdout_path_, 1},
        std::tuple{options.capture_stderr, &process.stderr_path_, 2}}) {
    if (!wanted) continue;
    const int fd = capture_file(*path);
    if (fd < 0)
      return app_lib::fail("cannot make a capture file: " + app_lib::sys::last_sys_error_text());
    setup.opened.push_back(fd);
    ::posix_spawn_file_actions_adddup2(&setup.actions, fd, target);
  }
  // A dup2 onto the same number clears close-on-exec in the child alone
  // (Austin Group issue 411; glibc 2.29 and later). Only Linux suites hand
  // descriptors over.
  for (const int fd : options.inherited_fds) {
    ::posix_spawn_file_actions_adddup2(&setup.actions, fd, fd);
  }
  if (!options.cwd.empty()) {
    ::posix_spawn_file_actions_addchdir_np(&setup.actions, options.cwd.c_str());
  }
  // Nothing blocked and every signal at its default action, as the service
  // starts its core: the test's own ignored SIGPIPE must not leak into it.
  sigset_t signals;
  sigemptyset(&signals);
  ::posix_spawnattr_setsigmask(&setup.attributes, &signals);
  sigfillset(&signals);
  for (const int fixed : {SIGKILL, SIGSTOP}) sigdelset(&signals, fixed);
  ::posix_spawnattr_setsigdefault(&setup.attributes, &signals);
  ::posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> argv = options.argv;
  if (options.fd_limit || !options.ignored_signals.empty() || options.user) {
    std::string ignored;
    for (const int signal_number : options.ignored_signals) {
      ignored += (ignored.empty() ? "" : ",") + std::to_string(signal_number);
    }
    std::string user = "-";
    if (options.user) {
      user = std::to_string(options.user->uid) + ":" + std::to_string(options.user->gid);
      for (const gid_t group : options.user->groups) user += ":" + std::to_string(group);
    }
    argv = {self_executable().string(),
            "--nt-helper",
            "exec_prepared",
            options.fd_limit ? std::to_string(*options.fd_limit) : "-",
            ignored.empty() ? "-" : ignored,
            user};
    argv.insert(argv.end(), options.argv.begin(), options.argv.end());
  }
  auto argv_pointers = c_strings(argv);
  auto env = environment_with(options.env);
  auto env_pointers = c_strings(env);
  const int rc = ::posix_spawn(&process.pid_, argv[0].c_str(), &setup.actions, &setup.attributes,
                               argv_pointers.data(), env_pointers.data());
  if (rc != 0) {
    process.pid_ = -1;
    return app_lib::fail("cannot start " + options.argv[0] + ": " +
                         app_lib::sys::sys_error_text(rc));
  }
  return process;
}

Process::Process(Process&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      status_(other.status_),
      stdout_path_(std::exchange(other.stdout_path_, {})),
      stderr_path_(std::exchange(other.stderr_path_, {})) {}

Process::~Process() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  std::error_code ec;
  if (!stdout_path_.empty()) fs::remove(stdout_path_, ec);
  if (!stderr_path_.empty()) fs::remove(stderr_path_, ec);
}

bool Process::running() {
  if (pid_ < 1 || status_) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
  status_ = status;
  return false;
}

void Process::signal(int signal_number) const {
  if (pid_ > 0 && !status_) ::kill(pid_, signal_number);
}

std::optional<int> Process::wait_exit(std::chrono::milliseconds limit) {
  if (eventually([&] { return !running(); }, limit)) return status_;
  return std::nullopt;
}

std::string Process::stdout_text() const {
  return stdout_path_.empty() ? std::string() : read_file(stdout_path_);
}

std::string Process::stderr_text() const {
  return stderr_path_.empty() ? std::string() : read_file(stderr_path_);
}

std::pair<int, std::string> run_program(Process::Options options, std::chrono::milliseconds limit) {
  options.capture_stdout = true;
  auto process = Process::start(std::move(options));
  if (!process) return {-1, ""};
  std::optional<int> status = process->wait_exit(limit);
  if (!status) {
    process->signal(SIGKILL);
    status = process->wait_exit();
  }
  return {status.value_or(-1), process->stdout_text()};
}

std::pair<int, std::string> run_program(const std::vector<std::string>& argv,
                                        const std::vector<std::string>& env,
                                        std::chrono::milliseconds limit, const fs::path& cwd) {
  return run_program(Process::Options{.argv = argv, .env = env, .cwd = cwd}, limit);
}

bool exited_cleanly(const std::optional<int>& status) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

}  // namespace nimbletrace_test
