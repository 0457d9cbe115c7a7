#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>

#include "app_lib/platform/socket_flags.h"
#include "tests/integration/integration_support.h"
#include "tests/support/test_support.h"

namespace nimbletrace_test {
namespace {

namespace fs = std::filesystem;

using SignalTest = SandboxServiceTest;

TEST_F(SignalTest, TerminationSignalsShutDownCleanly) {
  for (int signal_number : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(strsignal(signal_number));
    ServiceProcess service(ServiceProcess::Options::privileged());
    ASSERT_TRUE(service.wait_ready()) << service.stderr_text();
    CoreConfig config;
    ASSERT_EQ(raw_exchange(service.endpoint(), config.start_line()),
              response_line(true, "macOS launchd 服务核心启动请求已发送", "Running"));
    service.signal(signal_number);
    EXPECT_TRUE(exited_cleanly(service.wait_exit()));
    EXPECT_EQ(service.stderr_text(), "");
    EXPECT_FALSE(fs::exists(sandbox_paths().socket));
    EXPECT_TRUE(running_cores().empty());
  }
}

// A parent may start the service with the termination signals ignored (an
// ignored disposition survives exec); they must still shut it down. Linux
// would keep the blocked signal pending anyway, macOS would drop it unless
// the service resets the disposition itself.
TEST_F(SignalTest, SignalsIgnoredByTheParentStillShutDown) {
  for (int signal_number : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(strsignal(signal_number));
    ServiceProcess::Options options = ServiceProcess::Options::privileged();
    options.ignored_signals = {SIGTERM, SIGINT};
    ServiceProcess service(options);
    ASSERT_TRUE(service.wait_ready()) << service.stderr_text();
    service.signal(signal_number);
    EXPECT_TRUE(exited_cleanly(service.wait_exit()));
    EXPECT_EQ(service.stderr_text(), "");
    EXPECT_FALSE(fs::exists(sandbox_paths().socket));
  }
}

TEST_F(SignalTest, FurtherSignalsDuringShutdownNeitherRepeatItNorKill) {
  ServiceProcess service(ServiceProcess::Options::privileged());
  ASSERT_TRUE(service.wait_ready());
  service.signal(SIGTERM);
  service.signal(SIGINT);
  service.signal(SIGTERM);
  EXPECT_TRUE(exited_cleanly(service.wait_exit()));
  EXPECT_EQ(service.stderr_text(), "");
}

TEST_F(SignalTest, RequestInHandIsAnsweredAndItsCoreStoppedOnTheWayOut) {
  const std::string endpoint = free_tcp_endpoint();
  ServiceProcess service(ServiceProcess::Options::mock_on(endpoint));
  ASSERT_TRUE(service.wait_ready());

  // Hold a connection the service has accepted, then signal it mid-request.
  const int fd = app_lib::platform::open_cloexec_socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(std::stoi(endpoint.substr(endpoint.rfind(':') + 1))));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_TRUE(eventually([&] { return tcp_accept_queue(endpoint) == 0; }));
  service.signal(SIGTERM);

  CoreConfig config;
  const std::string line = config.start_line();
  ASSERT_EQ(::send(fd, line.data(), line.size(), MSG_NOSIGNAL), static_cast<ssize_t>(line.size()));
  std::string answer;
  char buffer[4096];
  pollfd pfd{fd, POLLIN, 0};
  while (::poll(&pfd, 1, 5000) > 0) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    answer.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  EXPECT_EQ(answer, response_line(true, "macOS launchd 服务核心启动请求已发送", "Running"));
  EXPECT_TRUE(exited_cleanly(service.wait_exit()));
  EXPECT_TRUE(running_cores().empty()) << "a core started during shutdown must not survive";
}

TEST_F(SignalTest, ShutdownCompletesWhenTheWakeUpPingCannotConnect) {
  ServiceProcess service(ServiceProcess::Options::privileged());
  ASSERT_TRUE(service.wait_ready());
  // Idle, the loop waits with no timeout: only the shutdown pipe can wake it.
  ASSERT_TRUE(eventually([&] { return waiting_in_poll(service.pid()); }));
  fs::remove(sandbox_paths().socket);
  service.signal(SIGTERM);
  EXPECT_TRUE(exited_cleanly(service.wait_exit()));
  EXPECT_EQ(service.stderr_text(), "");
}

TEST_F(SignalTest, BindFailureExitsWithStatusOne) {
  // Occupy the endpoint so the service cannot bind it.
  const int blocker = app_lib::platform::open_cloexec_socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(blocker, 1), 0);
  socklen_t len = sizeof addr;
  ::getsockname(blocker, reinterpret_cast<sockaddr*>(&addr), &len);
  const std::string endpoint = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));

  ServiceProcess service(ServiceProcess::Options::mock_on(endpoint));
  const auto status = service.wait_exit();
  ::close(blocker);
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1);
  EXPECT_TRUE(service.stderr_text().starts_with(
      "nimbletrace-service failed: 绑定 Service TCP 端点失败(" + endpoint + "): "))
      << service.stderr_text();
}

}  // namespace
}  // namespace nimbletrace_test
