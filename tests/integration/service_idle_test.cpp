#include <signal.h>

#include <filesystem>
#include <string>

#include "tests/support/service_harness.h"
#include "tests/support/test_support.h"

namespace nimbletrace_test {
namespace {

namespace fs = std::filesystem;

// An idle service sits in poll with nothing to time out; these tests show it
// still hears both a client and a shutdown request.
class IdleServiceTest : public SandboxServiceTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    SandboxServiceTest::SetUp();
    start_service(GetParam() ? ServiceProcess::Options::mock_on(free_tcp_endpoint())
                             : ServiceProcess::Options::privileged());
  }
  bool idle() { return waiting_in_poll(service_->pid()); }
};

TEST_P(IdleServiceTest, ClientArrivingAfterAnIdlePeriodIsAnswered) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(eventually([&] { return idle(); })) << "the loop never went idle";
    EXPECT_EQ(exchange(PING_LINE), PONG_STOPPED);
  }
}

TEST_P(IdleServiceTest, ShutdownOfAnIdleServiceEndsItCleanly) {
  ASSERT_TRUE(eventually([&] { return idle(); }));
  service_->signal(SIGTERM);
  EXPECT_TRUE(exited_cleanly(service_->wait_exit()));
  EXPECT_EQ(service_->stderr_text(), "");
  if (!GetParam()) {
    EXPECT_FALSE(fs::exists(sandbox_paths().socket));
  }
}

INSTANTIATE_TEST_SUITE_P(BothModes, IdleServiceTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& mode) {
                           return mode.param ? "Mock" : "Privileged";
                         });

}  // namespace
}  // namespace nimbletrace_test
