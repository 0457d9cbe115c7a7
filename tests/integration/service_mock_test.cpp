#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <optional>
#include <string>

#include "app_lib/service_runner/service_runner.h"
#include "tests/support/service_harness.h"
#include "tests/support/test_support.h"

namespace nimbletrace_test {
namespace {

// Mock mode on a free loopback port: no client check, so anyone may talk.
class MockServiceTest : public SandboxServiceTest {
 protected:
  void SetUp() override {
    SandboxServiceTest::SetUp();
    start_service(ServiceProcess::Options::mock_on(free_tcp_endpoint()));
  }
};

TEST_F(MockServiceTest, AnswersWithoutACoreByteForByte) {
  EXPECT_EQ(exchange(PING_LINE), PONG_STOPPED);
  EXPECT_EQ(exchange(STATUS_LINE), STATUS_STOPPED);
  EXPECT_EQ(exchange(STOP_LINE), NOT_RUNNING);
  EXPECT_EQ(exchange(STOP_LINE), NOT_RUNNING);
}

TEST_F(MockServiceTest, StartsKeepsAndStopsTheCore) {
  CoreConfig config;
  EXPECT_EQ(exchange(config.start_line()), STARTED);
  ASSERT_TRUE(eventually([] { return running_cores().size() == 1; }));
  const pid_t core = running_cores().front();
  EXPECT_EQ(exchange(STATUS_LINE), STATUS_RUNNING);
  EXPECT_EQ(exchange(config.start_line()), KEPT);
  EXPECT_EQ(running_cores(), std::vector<pid_t>{core});
  EXPECT_EQ(exchange(STOP_LINE), response_line(true, "macOS 服务核心已停止", "Stopped"));
  EXPECT_TRUE(running_cores().empty());
  EXPECT_EQ(exchange(STOP_LINE), NOT_RUNNING);
}

TEST_F(MockServiceTest, FailedStartAnswersUnavailable) {
  CoreConfig config;
  std::string line = config.start_line();
  const auto digest_at = line.find("\"config_sha256\":\"") + 17;
  line[digest_at] = line[digest_at] == '0' ? '1' : '0';
  EXPECT_EQ(exchange(line),
            response_line(false, "拒绝哈希不匹配的 macOS 服务核心配置", "Unavailable"));
  EXPECT_TRUE(running_cores().empty());
}

TEST_F(MockServiceTest, CoreThatExitedIsReportedStoppedAndCollected) {
  CoreConfig config("exit-now\n");
  EXPECT_EQ(exchange(config.start_line()), STARTED);
  // The core exits by itself; the next probe collects it.
  ASSERT_TRUE(eventually([&] { return exchange(STATUS_LINE) == STATUS_STOPPED; }));
  EXPECT_EQ(exchange(STOP_LINE), NOT_RUNNING);
}

TEST_F(MockServiceTest, AnswersBadRequestsAndServesTheNextConnection) {
  struct Case {
    std::string name;
    std::string bytes;
    std::string message_prefix;
  };
  const Case cases[] = {
      {"not json", "hello\n", "请求格式错误: "},
      {"blank", "  \r\n", "请求为空"},
      {"invalid utf-8", "{\"type\":\"p\xffing\"}\n", "请求不是有效 UTF-8: "},
      {"unknown variant", "{\"type\":\"Ping\"}\n", "请求格式错误: "},
      {"two values", "{\"type\":\"ping\"} {}\n", "请求格式错误: "},
      {"oversize", std::string(70000, ' '), "ServiceRunner TCP 消息超过 64KB 上限"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string answer = exchange(c.bytes, /*half_close=*/true);
    EXPECT_TRUE(answer.starts_with("{\"ok\":false,\"message\":\"" + c.message_prefix)) << answer;
    EXPECT_TRUE(answer.ends_with("\",\"data\":\"Unavailable\",\"protocol_version\":1}\n"))
        << answer;
    EXPECT_EQ(exchange(PING_LINE), PONG_STOPPED);
  }
}

TEST_F(MockServiceTest, ClientThatHangsUpEarlyDoesNotDisturbTheLoop) {
  for (int i = 0; i < 3; ++i) {
    (void)raw_exchange(service_->endpoint(), PING_LINE, false, std::chrono::milliseconds(0));
  }
  EXPECT_EQ(exchange(PING_LINE), PONG_STOPPED);
  EXPECT_TRUE(service_->running());
}

// Runs the loop in mock mode with the stop flag already set: it must bind,
// find the flag, and return success without serving anyone.
NIMBLETRACE_TEST_HELPER(loop_with_stop_flag_set) {
  using app_lib::service_runner::ServiceRunner;
  ::setenv("NIMBLETRACE_SERVICE_MODE", "mock", 1);
  ::setenv("NIMBLETRACE_SERVICE_ENDPOINT", argv[0], 1);
  app_lib::service_runner::SERVICE_RUNNER_SHOULD_STOP.store(true);
  int ready_calls = 0;
  auto result = ServiceRunner::run_service_process_loop_with_ready([&] { ++ready_calls; });
  return result.has_value() && ready_calls == 1 ? 0 : 1;
}

TEST(MockLoopTest, StopFlagSetBeforeFirstAcceptEndsTheLoopAtOnce) {
  const std::string endpoint = free_tcp_endpoint();
  auto [status, output] =
      run_program({self_executable().string(), "--nt-helper", "loop_with_stop_flag_set", endpoint});
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace nimbletrace_test
