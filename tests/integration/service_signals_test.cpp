#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <cstring>
#include <optional>
#include <string>

#include "tests/support/service_harness.h"
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
    ASSERT_EQ(raw_exchange(service.endpoint(), config.start_line()), STARTED);
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

// An ignored SIGCHLD survives exec too, and while it is ignored the kernel
// collects the core itself: its exit could not be told, and its id, free
// for anyone, would get the next start's SIGKILL.
TEST_F(SignalTest, CoreExitIsCollectedByTheServiceEvenWhenTheParentIgnoredSigchld) {
  ServiceProcess::Options options = ServiceProcess::Options::privileged();
  options.ignored_signals = {SIGCHLD};
  ServiceProcess service(options);
  ASSERT_TRUE(service.wait_ready()) << service.stderr_text();
  CoreConfig config;
  ASSERT_EQ(raw_exchange(service.endpoint(), config.start_line()), STARTED);
  const auto cores = running_cores();
  ASSERT_EQ(cores.size(), 1u);
  ASSERT_EQ(::kill(cores.front(), SIGKILL), 0);
  ASSERT_TRUE(eventually([] { return running_cores().empty(); }));
  EXPECT_EQ(raw_exchange(service.endpoint(), STATUS_LINE), STATUS_STOPPED);
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
  auto connection = open_connection(service.endpoint());
  ASSERT_OK(connection);
  ASSERT_TRUE(eventually([&] { return tcp_accept_queue(endpoint) == 0; }));
  service.signal(SIGTERM);

  CoreConfig config;
  ASSERT_TRUE(send_raw(connection->get(), config.start_line()));
  const std::string answer = receive_until_eof(connection->get());
  connection->reset();
  EXPECT_EQ(answer, STARTED);
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
  LoopbackPort blocker = bind_loopback_port();
  ASSERT_EQ(::listen(blocker.socket.get(), 1), 0);
  const std::string endpoint = blocker.endpoint;

  ServiceProcess service(ServiceProcess::Options::mock_on(endpoint));
  const auto status = service.wait_exit();
  blocker.socket.reset();
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1);
  EXPECT_TRUE(service.stderr_text().starts_with(
      "nimbletrace-service failed: 绑定 Service TCP 端点失败(" + endpoint + "): "))
      << service.stderr_text();
}

}  // namespace
}  // namespace nimbletrace_test
