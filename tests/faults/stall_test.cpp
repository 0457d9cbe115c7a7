// Clients that say nothing and file systems that never answer: neither may
// hold the service for anyone else. Each case holds the service one way and
// checks that another client is answered meanwhile, and that the held
// connections end with the answers their own budgets give.

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app_lib/sys/fd.h"
#include "app_lib/sys/sys_error.h"
#include "tests/support/proc.h"
#include "tests/support/process.h"
#include "tests/support/raw_socket.h"
#include "tests/support/service_harness.h"
#include "tests/support/stalling_fs.h"
#include "tests/support/test_support.h"

namespace nimbletrace_test {
namespace {

namespace fs = std::filesystem;
using app_lib::sys::UniqueFd;

const std::string READ_TIMED_OUT = response_line(
    false, "读取 Unix Socket 请求失败: " + app_lib::sys::sys_error_text(EAGAIN), "Unavailable");

// argv: socket, count, go file. Once the go file exists, opens `count`
// connections and sends nothing on any; prints "held" once all are open,
// then reads every answer and prints how many were the read-timeout refusal,
// and the first other answer.
NIMBLETRACE_TEST_HELPER(hold_silent_connections) {
  if (argc != 3) return 2;
  const std::size_t count = std::stoul(argv[1]);
  while (::access(argv[2], F_OK) != 0) ::usleep(1000);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, argv[0], sizeof address.sun_path - 1);
  std::vector<UniqueFd> held;
  while (held.size() < count) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) return 3;
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      // A full backlog: the service drains it, so try again shortly.
      if (errno != EAGAIN) return 4;
      ::usleep(1000);
      continue;
    }
    held.push_back(std::move(fd));
  }
  std::printf("held\n");
  std::fflush(stdout);
  std::vector<std::string> answers(count);
  std::vector<pollfd> open(count);
  for (std::size_t i = 0; i < count; ++i) open[i] = {held[i].get(), POLLIN, 0};
  for (std::size_t left = count; left > 0;) {
    if (::poll(open.data(), open.size(), 60'000) <= 0) break;
    for (std::size_t i = 0; i < count; ++i) {
      if (open[i].fd < 0 || open[i].revents == 0) continue;
      char buffer[512];
      const ssize_t n = ::recv(open[i].fd, buffer, sizeof buffer, 0);
      if (n > 0) {
        answers[i].append(buffer, static_cast<std::size_t>(n));
      } else {
        open[i].fd = -1;
        --left;
      }
    }
  }
  std::size_t timed_out = 0;
  std::string other;
  for (const std::string& answer : answers) {
    if (answer == READ_TIMED_OUT) {
      ++timed_out;
    } else if (other.empty()) {
      other = answer.empty() ? "<nothing>" : answer;
    }
  }
  std::printf("timed_out=%zu other=%s\n", timed_out, other.c_str());
  return 0;
}

class StallTest : public SandboxServiceTest {};

TEST_F(StallTest, SilentConnectionsNeverHoldAnotherClient) {
  // What the service may hold meanwhile: one process gets a few places, and
  // all of them together a bounded set (a socket and a pidfd each).
  const struct {
    std::size_t processes;
    std::size_t each;
    std::size_t descriptors_below;
  } cases[] = {{1, 4000, 64}, {64, 63, 600}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.processes) + " processes holding " + std::to_string(c.each));
    // Room for the bounded set, not for a place per process: past the bound,
    // accepting would fail for want of descriptors.
    auto options = ServiceProcess::Options::privileged();
    options.fd_limit = 700;
    start_service(options);
    // All holders connect at once, so their connections overlap.
    TempDir go;
    std::vector<Process> holders;
    for (std::size_t i = 0; i < c.processes; ++i) {
      auto holder = Process::start(
          {.argv = {self_executable().string(), "--nt-helper", "hold_silent_connections",
                    sandbox_paths().socket.string(), std::to_string(c.each),
                    (go / "go").string()},
           .capture_stdout = true,
           .fd_limit = c.each + 64});
      ASSERT_OK(holder);
      holders.push_back(std::move(*holder));
    }
    write_file(go / "go", "");
    for (Process& holder : holders) {
      ASSERT_TRUE(eventually([&] { return holder.stdout_text().starts_with("held\n"); },
                             SLOW_WAIT_LIMIT))
          << holder.stdout_text();
    }
    EXPECT_LT(open_descriptors(service_->pid()).size(), c.descriptors_below);
    // Served one after another, the silent connections would hold the
    // service for hours; side by side, the ping is answered at once.
    EXPECT_EQ(exchange(PING_LINE), PONG_STOPPED);
    const std::string all_timed_out = "held\ntimed_out=" + std::to_string(c.each) + " other=\n";
    for (Process& holder : holders) {
      ASSERT_TRUE(holder.wait_exit(SLOW_WAIT_LIMIT));
      EXPECT_EQ(holder.stdout_text(), all_timed_out);
    }
    EXPECT_EQ(service_->stderr_text(), "");
  }
}

// A stalling file system mounted inside the sandbox, with a configuration
// directory below it that every request names.
class StalledConfigTest : public SandboxServiceTest {
 protected:
  void SetUp() override {
    SandboxServiceTest::SetUp();
    fs::create_directory(dir_ / "stall");
    auto mounted = StallingFs::mount(dir_ / "stall");
    if (!mounted) GTEST_SKIP() << "no FUSE here: " << mounted.error();
    stalling_ = std::move(*mounted);
    auto options = ServiceProcess::Options::privileged();
#if defined(__SANITIZE_ADDRESS__)
    // The leak check at exit stops every thread first, and a thread waiting
    // in a file system does not stop: the exit would wait with it.
    const char* asan = std::getenv("ASAN_OPTIONS");
    options.extra_env.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") +
                                ":detect_leaks=0");
#endif
    start_service(options);
  }

  // Sends a start whose configuration lies on the stalling file system and
  // keeps the connection to read the answer.
  UniqueFd send_stalled_start() {
    const fs::path config_dir = dir_ / "stall" / ".nimbletrace";
    UniqueFd connection = connect_raw(service_->endpoint());
    EXPECT_TRUE(send_raw(connection.get(),
                         start_core_line(config_dir, config_dir / "config.yaml", sha256_of(""))));
    return connection;
  }

  const std::string timed_out_ = response_line(
      false,
      "解析 macOS 服务核心配置目录失败: " + app_lib::sys::sys_error_text(ETIMEDOUT),
      "Unavailable");
  TempDir dir_;
  std::unique_ptr<StallingFs> stalling_;
};

TEST_F(StalledConfigTest, StartTimesOutWhileOthersAreServedAndStalledReadsAreBounded) {
  UniqueFd first = send_stalled_start();
  EXPECT_EQ(exchange(PING_LINE), PONG_STOPPED);
  EXPECT_EQ(receive_until_eof(first.get()), timed_out_);

  // Every stalled read keeps its thread; at the limit a start is refused at
  // once, without waiting for its time to run out.
  std::vector<UniqueFd> more;
  for (int i = 0; i < 3; ++i) more.push_back(send_stalled_start());
  for (UniqueFd& connection : more) EXPECT_EQ(receive_until_eof(connection.get()), timed_out_);
  CoreConfig healthy;
  const std::string refused = response_line(
      false, "解析 macOS 服务核心配置目录失败: " + app_lib::sys::sys_error_text(EAGAIN),
      "Unavailable");
  EXPECT_EQ(exchange(healthy.start_line()), refused);

  // Once the file system goes, the stalled threads come back, drop what they
  // read and make room: starts work again, and nothing they read was used.
  stalling_.reset();
  EXPECT_TRUE(eventually([&] { return exchange(healthy.start_line()) == STARTED; }));
}

TEST_F(StalledConfigTest, TerminationEndsTheServiceWhileAReadStalls) {
  UniqueFd stalled = send_stalled_start();
  EXPECT_EQ(receive_until_eof(stalled.get()), timed_out_);
  service_->signal(SIGTERM);
  EXPECT_TRUE(exited_cleanly(service_->wait_exit()));
}

}  // namespace
}  // namespace nimbletrace_test
