#include "tests/support/service_harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#if defined(__linux__)
#include <sys/syscall.h>
#endif
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>

#include "app_lib/platform/socket_flags.h"
#include "app_lib/service_runner/service_runner.h"
#include "app_lib/sys/fixed_paths.h"
#include "tests/support/test_support.h"

extern char** environ;

namespace nimbletrace_test {

namespace fs = std::filesystem;
using app_lib::service_transport::ServiceTransport;

void poll_pause() {
  timespec pause{0, 5'000'000};
  ::nanosleep(&pause, nullptr);
}

namespace {

// pipe(2) with both ends close-on-exec; atomically where the system has
// pipe2 (macOS has not), so a child spawned meanwhile by another thread
// cannot keep the write end open.
bool open_cloexec_pipe(int fds[2]) {
#if defined(__linux__)
  return ::pipe2(fds, O_CLOEXEC) == 0;
#else
  if (::pipe(fds) != 0) return false;
  for (int i = 0; i < 2; ++i) ::fcntl(fds[i], F_SETFD, FD_CLOEXEC);
  return true;
#endif
}

}  // namespace

// exec_prepared NOFILE|- SIGNALS|- EXECUTABLE: sets RLIMIT_NOFILE, ignores
// the comma-separated signals, then becomes EXECUTABLE with this process's
// environment. Exits 127 if it cannot.
NIMBLETRACE_TEST_HELPER(exec_prepared) {
  if (argc != 3) return 127;
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
  char* const child_argv[] = {argv[2], nullptr};
  ::execve(argv[2], child_argv, environ);
  return 127;
}

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
  std::error_code ec;
  fs::remove_all(p.root, ec);
  fs::create_directories(p.helper_tools);
  fs::create_directories(p.service_root);
  if (install_service) fs::create_symlink(bin_dir() / "nimbletrace-service", p.protected_service);
  if (install_core) fs::create_symlink(bin_dir() / "nimbletrace-core-stub", p.core);
  if (authorized_client) write_file(p.authorized_file, authorized_client->string() + "\n");
}

std::vector<pid_t> running_cores() {
  std::vector<pid_t> pids;
  std::error_code ec;
  const fs::path stub = fs::canonical(bin_dir() / "nimbletrace-core-stub", ec);
  if (ec) return pids;
  DIR* dir = ::opendir("/proc");
  if (dir == nullptr) return pids;
  while (dirent* entry = ::readdir(dir)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (*end != '\0' || pid <= 0) continue;
    fs::path exe = fs::read_symlink(fs::path("/proc") / entry->d_name / "exe", ec);
    if (ec || exe != stub) continue;
    if (process_alive(static_cast<pid_t>(pid))) pids.push_back(static_cast<pid_t>(pid));
  }
  ::closedir(dir);
  return pids;
}

void kill_stray_cores() {
  for (pid_t pid : running_cores()) ::kill(pid, SIGKILL);
  eventually([] { return running_cores().empty(); });
}

bool process_alive(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  if (close == std::string::npos || close + 2 >= text.size()) return false;
  const char state = text[close + 2];
  return state != 'Z' && state != 'X';
}

bool waiting_in_poll(pid_t pid) {
#if defined(__linux__)
  // "running", or the number of the system call the thread is blocked in,
  // followed by its arguments.
  std::ifstream syscall("/proc/" + std::to_string(pid) + "/syscall");
  long number = -1;
  if (!(syscall >> number)) return false;
#ifdef SYS_poll
  if (number == SYS_poll) return true;
#endif
  return number == SYS_ppoll;
#else
  // Only Linux tells which system call another process is blocked in.
  (void)pid;
  return false;
#endif
}

std::optional<int> tcp_accept_queue(const std::string& endpoint) {
  const auto colon = endpoint.rfind(':');
  if (colon == std::string::npos) return std::nullopt;
  char wanted[16];
  std::snprintf(wanted, sizeof wanted, ":%04X", std::stoi(endpoint.substr(colon + 1)));
  std::ifstream tcp("/proc/net/tcp");
  std::string line;
  while (std::getline(tcp, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues;
    fields >> slot >> local >> remote >> state >> queues;
    if (state != "0A" || !local.ends_with(wanted)) continue;
    // "tx_queue:rx_queue"; for a listener rx_queue is the accept backlog.
    return std::stoi(queues.substr(queues.find(':') + 1), nullptr, 16);
  }
  return std::nullopt;
}

std::string free_tcp_endpoint() {
  const int fd = app_lib::platform::open_cloexec_socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
}

namespace {

std::vector<std::string> service_environment(const ServiceProcess::Options& options) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string_view entry(*e);
    if (entry.starts_with("NIMBLETRACE_SERVICE_")) continue;
    env.emplace_back(entry);
  }
  if (options.mock) env.emplace_back("NIMBLETRACE_SERVICE_MODE=mock");
  if (!options.endpoint.empty()) env.push_back("NIMBLETRACE_SERVICE_ENDPOINT=" + options.endpoint);
  for (const auto& extra : options.extra_env) env.push_back(extra);
  return env;
}

std::vector<char*> c_strings(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

int connect_to(const ServiceTransport& endpoint) {
  if (const auto* unix_endpoint = std::get_if<ServiceTransport::Unix>(&endpoint.endpoint)) {
    const int fd = app_lib::platform::open_cloexec_socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, unix_endpoint->path.c_str(), sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  }
  const std::string& text = std::get<ServiceTransport::Tcp>(endpoint.endpoint).addr;
  const auto colon = text.rfind(':');
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(std::stoi(text.substr(colon + 1))));
  ::inet_pton(AF_INET, text.substr(0, colon).c_str(), &addr.sin_addr);
  const int fd = app_lib::platform::open_cloexec_socket(AF_INET, SOCK_STREAM, 0);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

ServiceProcess::ServiceProcess(Options options)
    : endpoint_(options.mock ? ServiceTransport::tcp(options.endpoint.empty() ? "127.0.0.1:39217"
                                                                              : options.endpoint)
                             : ServiceTransport::unix_socket(sandbox_paths().socket)) {
  if (options.executable.empty()) options.executable = sandbox_paths().protected_service;
  char pattern[] = "/tmp/nt-stderr-XXXXXX";
  const int err_fd = ::mkstemp(pattern);
  stderr_path_ = pattern;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGINT);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> argv_strings{options.executable.string()};
  if (options.fd_limit || !options.ignored_signals.empty()) {
    // posix_spawn can neither set a limit nor ignore a signal in the child:
    // a helper of this executable does both and then execs the service, so
    // the service runs under the same process id from its first instruction.
    std::string ignored;
    for (const int signal_number : options.ignored_signals) {
      ignored += (ignored.empty() ? "" : ",") + std::to_string(signal_number);
    }
    argv_strings = {self_executable().string(),
                    "--nt-helper",
                    "exec_prepared",
                    options.fd_limit ? std::to_string(*options.fd_limit) : "-",
                    ignored.empty() ? "-" : ignored,
                    options.executable.string()};
  }
  auto argv = c_strings(argv_strings);
  auto env_strings = service_environment(options);
  auto envp = c_strings(env_strings);
  const int rc = ::posix_spawn(&pid_, argv_strings[0].c_str(), &actions, &attributes, argv.data(),
                               envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(err_fd);
  if (rc != 0) {
    ADD_FAILURE() << "cannot spawn " << options.executable << ": " << std::strerror(rc);
    pid_ = -1;
    reaped_ = true;
    return;
  }
}

ServiceProcess::~ServiceProcess() {
  if (!reaped_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status_, 0);
  }
  std::error_code ec;
  fs::remove(stderr_path_, ec);
}

bool ServiceProcess::running() {
  if (reaped_) return false;
  int status = 0;
  const pid_t rc = ::waitpid(pid_, &status, WNOHANG);
  if (rc == pid_) {
    reaped_ = true;
    status_ = status;
    return false;
  }
  return true;
}

bool ServiceProcess::wait_ready(std::chrono::milliseconds timeout) {
  return eventually(
             [&] {
               if (!running()) return true;
               if (const auto* u = std::get_if<ServiceTransport::Unix>(&endpoint_.endpoint)) {
                 struct stat st {};
                 return ::stat(u->path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) &&
                        (st.st_mode & 0777) == 0666;
               }
               return tcp_accept_queue(std::get<ServiceTransport::Tcp>(endpoint_.endpoint).addr)
                   .has_value();
             },
             timeout) &&
         running();
}

void ServiceProcess::signal(int signal_number) const {
  if (!reaped_) ::kill(pid_, signal_number);
}

std::optional<int> ServiceProcess::wait_exit(std::chrono::milliseconds timeout) {
  if (eventually([&] { return !running(); }, timeout)) return status_;
  return std::nullopt;
}

std::string ServiceProcess::stderr_text() const {
  return read_file(stderr_path_);
}

std::string raw_exchange(const ServiceTransport& endpoint, std::string_view bytes, bool half_close,
                         std::chrono::milliseconds timeout) {
  const int fd = connect_to(endpoint);
  if (fd < 0) return "<connect failed: " + std::string(std::strerror(errno)) + ">";
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  if (half_close) ::shutdown(fd, SHUT_WR);
  std::string answer;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  char buffer[8192];
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      answer += "<timeout>";
      break;
    }
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    answer.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return answer;
}

std::pair<int, std::string> run_program(const std::vector<std::string>& args,
                                        const std::vector<std::string>& extra_env,
                                        std::chrono::milliseconds timeout, const fs::path& cwd) {
  int pipe_fds[2];
  if (!open_cloexec_pipe(pipe_fds)) return {-1, ""};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  std::vector<std::string> argv_strings = args;
  auto argv = c_strings(argv_strings);
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) env_strings.emplace_back(*e);
  for (const auto& extra : extra_env) env_strings.push_back(extra);
  auto envp = c_strings(env_strings);
  pid_t pid = -1;
  const int rc =
      ::posix_spawn(&pid, argv_strings[0].c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_fds[1]);
  if (rc != 0) {
    ::close(pipe_fds[0]);
    return {-1, ""};
  }
  std::string output;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  char buffer[4096];
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd pfd{pipe_fds[0], POLLIN, 0};
    if (::poll(&pfd, 1, 50) <= 0) continue;
    const ssize_t n = ::read(pipe_fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    output.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipe_fds[0]);
  int status = 0;
  if (!eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; },
                  std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now() + 100ms))) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  return {status, output};
}

bool exited_cleanly(const std::optional<int>& status) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
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
  service_.emplace(std::move(options));
  ASSERT_TRUE(service_->wait_ready()) << service_->stderr_text();
}

std::string SandboxServiceTest::exchange(std::string_view bytes, bool half_close) {
  return raw_exchange(service_->endpoint(), bytes, half_close);
}

}  // namespace nimbletrace_test
