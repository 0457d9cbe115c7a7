#include "tests/platform/peer_harness.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tests/support/test_support.h"

extern char** environ;

namespace nimbletrace_test {
namespace {

using app_lib::sys::UniqueFd;

constexpr int POLL_LIMIT_MS = static_cast<int>(
    std::chrono::duration_cast<std::chrono::milliseconds>(PEER_WAIT_LIMIT).count());

UniqueFd connect_unix(const char* path) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
  if (!fd || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return UniqueFd{};
  }
  return fd;
}

// Connects, proves it with one byte, and stays until the test closes its end.
NIMBLETRACE_TEST_HELPER(peer_connect_and_hold) {
  if (argc < 1) return 2;
  const UniqueFd fd = connect_unix(argv[0]);
  if (!fd || ::write(fd.get(), "x", 1) != 1) return 3;
  pollfd watch{fd.get(), POLLIN, 0};
  char byte = 0;
  while (::poll(&watch, 1, POLL_LIMIT_MS) == 1 && ::read(fd.get(), &byte, 1) > 0) {
  }
  return 0;
}

// Connects and exits at once, leaving a connection whose peer is gone.
NIMBLETRACE_TEST_HELPER(peer_connect_and_exit) {
  if (argc < 1) return 2;
  const UniqueFd fd = connect_unix(argv[0]);
  return fd && ::write(fd.get(), "x", 1) == 1 ? 0 : 3;
}

}  // namespace

std::optional<SpawnedProcess> SpawnedProcess::start(const std::filesystem::path& program,
                                                    const std::vector<std::string>& arguments) {
  std::vector<std::string> words{program.string()};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
    return std::nullopt;
  }
  return SpawnedProcess(pid);
}

SpawnedProcess::SpawnedProcess(SpawnedProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)) {}

SpawnedProcess::~SpawnedProcess() {
  if (pid_ < 1) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
}

bool SpawnedProcess::wait_for_exit() {
  if (pid_ < 1) return true;
  const UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
  pollfd watch{pidfd.get(), POLLIN, 0};
  if (!pidfd || ::poll(&watch, 1, POLL_LIMIT_MS) != 1) return false;
  int status = 0;
  if (::waitpid(pid_, &status, 0) != pid_) return false;
  pid_ = -1;
  return true;
}

PeerServer::PeerServer(const std::filesystem::path& socket_path)
    : path_(socket_path), listener_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
  if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_.get(), 8) != 0) {
    ADD_FAILURE() << "cannot listen on " << path_ << ": " << std::strerror(errno);
  }
}

std::pair<UniqueFd, std::optional<SpawnedProcess>> PeerServer::connect_helper(
    const std::filesystem::path& program, const std::string& helper) {
  auto child = SpawnedProcess::start(program, {"--nt-helper", helper, path_.string()});
  if (!child) return {UniqueFd{}, std::nullopt};
  pollfd watch{listener_.get(), POLLIN, 0};
  if (::poll(&watch, 1, POLL_LIMIT_MS) != 1) return {UniqueFd{}, std::move(child)};
  UniqueFd connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
  pollfd incoming{connection.get(), POLLIN, 0};
  char byte = 0;
  if (!connection || ::poll(&incoming, 1, POLL_LIMIT_MS) != 1 ||
      ::read(connection.get(), &byte, 1) != 1) {
    connection.reset();
  }
  return {std::move(connection), std::move(child)};
}

}  // namespace nimbletrace_test
