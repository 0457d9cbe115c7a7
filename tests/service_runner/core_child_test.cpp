#include "tests/support/core_child.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <future>
#include <stdexcept>
#include <thread>

#include "app_lib/service_runner/service_runner.h"
#include "app_lib/sys/child_process.h"
#include "tests/support/test_support.h"

namespace app_lib::service_runner {
namespace {

using nimbletrace_test::eventually;
using nimbletrace_test::process_collected;
using service_ipc::ServiceRunnerStatus;

TEST(ChildProcessTest, ChildStartsWithCleanSignalsNullStreamsAndNoStrayDescriptor) {
  nimbletrace_test::TempDir dir;
  nimbletrace_test::write_file(dir / "config.yaml", "port: 1\n");
  nimbletrace_test::ScopedEnv record("NIMBLETRACE_CORE_STUB_RECORD", (dir / "record").native());
  // As in the service: SIGTERM/SIGINT blocked for the signal thread, SIGPIPE
  // ignored (by the test main), and here one descriptor someone forgot to mark
  // close-on-exec.
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGINT);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &previous), 0);
  sys::UniqueFd forgotten(::open("/dev/null", O_RDONLY));
  auto child = sys::ChildProcess::spawn(nimbletrace_test::core_stub_path(), {"-d", dir.path()});
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  ASSERT_OK(child);

  auto seen = nimbletrace_test::await_stub_record(dir / "record");
  EXPECT_EQ(seen["pid"], std::to_string(child->pid()));
  EXPECT_EQ(seen["arg"],
            nimbletrace_test::core_stub_path().native() + " -d " + dir.path().native());
  EXPECT_EQ(seen["sig_blocked"], "0000000000000000");
  // glibc's posix_spawn leaves its two reserved real-time signals (32, 33)
  // ignored; no program can use them, so only the others count.
  EXPECT_EQ(std::stoull(seen["sig_ignored"], nullptr, 16) & ~(3ULL << 31), 0u)
      << seen["sig_ignored"];
  EXPECT_EQ(seen["fds"], "0,1,2");
  EXPECT_EQ(seen["null_stdio"], "1 1 1");
  EXPECT_EQ(seen["config"], "port: 1\n");

  ASSERT_OK(child->kill());
  auto status = child->wait();
  ASSERT_OK(status);
  EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL);
  // Once collected, the pid may be reused: kill must not reach it.
  EXPECT_OK(child->kill());
  EXPECT_EQ(child->wait().value(), *status);
}

class CoreSupervisionTest : public testing::Test {
 protected:
  void SetUp() override { ServiceCoreChildSlotTestPeer::reset(SERVICE_CORE_CHILD()); }
  void TearDown() override { ServiceCoreChildSlotTestPeer::reset(SERVICE_CORE_CHILD()); }

  // Puts a child into the slot as a start would; returns its pid.
  static pid_t adopt(const std::string& program, const std::vector<std::string>& arguments) {
    auto child = sys::ChildProcess::spawn(program, arguments);
    EXPECT_TRUE(child.has_value());
    const pid_t pid = child ? child->pid() : -1;
    (void)SERVICE_CORE_CHILD().with_lock([&](std::optional<ServiceCoreChildState>& slot) {
      if (child) slot.emplace(ServiceCoreChildState{"127.0.0.1", std::move(*child), 9090});
    });
    return pid;
  }
};

TEST_F(CoreSupervisionTest, RunningCoreIsReportedThenStoppedAndCollected) {
  EXPECT_EQ(ServiceRunner::service_core_process_status().value(), ServiceRunnerStatus::Stopped);
  EXPECT_EQ(ServiceRunner::service_stop_core_process().value(), "macOS 服务核心当前未运行");

  const pid_t pid = adopt("/bin/sleep", {"100"});
  EXPECT_EQ(ServiceRunner::service_core_process_status().value(), ServiceRunnerStatus::Running);
  EXPECT_EQ(ServiceRunner::service_stop_core_process().value(), "macOS 服务核心已停止");
  EXPECT_TRUE(process_collected(pid));
  EXPECT_EQ(ServiceRunner::service_stop_core_process().value(), "macOS 服务核心当前未运行");
}

TEST_F(CoreSupervisionTest, CoreThatExitedByItselfIsCollectedByTheProbe) {
  const pid_t pid = adopt("/bin/true", {});
  ASSERT_TRUE(eventually([&] { return nimbletrace_test::process_zombie(pid); }));
  EXPECT_EQ(ServiceRunner::service_core_process_status().value(), ServiceRunnerStatus::Stopped);
  EXPECT_TRUE(process_collected(pid));
  EXPECT_EQ(ServiceRunner::service_stop_core_process().value(), "macOS 服务核心当前未运行");
}

TEST_F(CoreSupervisionTest, StopEndsCoreThatIgnoresTermination) {
  const pid_t pid = adopt("/bin/sh", {"-c", "trap '' TERM; exec /bin/sleep 100"});
  ASSERT_TRUE(eventually([&] {
    const auto ignored = nimbletrace_test::status_field(pid, "SigIgn");
    return nimbletrace_test::status_field(pid, "Name") == "sleep" && ignored &&
           (std::stoull(*ignored, nullptr, 16) >> (SIGTERM - 1) & 1) != 0;
  }));
  EXPECT_EQ(ServiceRunner::service_stop_core_process().value(), "macOS 服务核心已停止");
  EXPECT_TRUE(process_collected(pid));
}

TEST_F(CoreSupervisionTest, BrokenSlotAnswersTheLockErrorAndLeavesTheCoreAlone) {
  const pid_t pid = adopt("/bin/sleep", {"100"});
  auto thrown = SERVICE_CORE_CHILD().with_lock(
      [](std::optional<ServiceCoreChildState>&) -> int { throw std::runtime_error("half done"); });
  EXPECT_EQ(thrown.error(), "macOS 服务核心进程状态锁异常");
  EXPECT_EQ(ServiceRunner::service_core_process_status().error(), "macOS 服务核心进程状态锁异常");
  EXPECT_EQ(ServiceRunner::service_stop_core_process().error(), "macOS 服务核心进程状态锁异常");
  EXPECT_TRUE(nimbletrace_test::process_alive(pid));
}

TEST_F(CoreSupervisionTest, StopWaitsForTheHolderAndStopsWhatItLeft) {
  std::promise<void> locked, release;
  pid_t pid = -1;
  std::thread holder([&] {
    (void)SERVICE_CORE_CHILD().with_lock([&](std::optional<ServiceCoreChildState>& slot) {
      auto child = sys::ChildProcess::spawn("/bin/sleep", {"100"});
      if (child) {
        pid = child->pid();
        slot.emplace(ServiceCoreChildState{"127.0.0.1", std::move(*child), 1});
      }
      locked.set_value();
      release.get_future().wait();
    });
  });
  locked.get_future().wait();
  auto stop =
      std::async(std::launch::async, [] { return ServiceRunner::service_stop_core_process(); });
  release.set_value();
  holder.join();
  ASSERT_EQ(stop.wait_for(nimbletrace_test::WAIT_LIMIT), std::future_status::ready);
  EXPECT_EQ(stop.get().value(), "macOS 服务核心已停止");
  EXPECT_TRUE(pid > 0 && process_collected(pid));
}

}  // namespace
}  // namespace app_lib::service_runner
