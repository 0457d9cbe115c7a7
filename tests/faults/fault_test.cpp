// Faults from outside the service: cores that crash or are killed, a service
// that is killed and restarted, a termination signal in the middle of a start,
// descriptor exhaustion and a runtime directory on a full file system. Every
// case checks that the service keeps its word afterwards: it answers, reports
// the truth about the core, and leaves neither cores nor zombies behind.

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app_lib/service_runner/service_runner.h"
#include "app_lib/sys/fd.h"
#include "app_lib/sys/sys_error.h"
#include "tests/support/service_harness.h"
#include "tests/support/stalling_fs.h"
#include "tests/support/test_support.h"
#include "tests/support/xnu_shim.h"

namespace nimbletrace_test {
namespace {

namespace fs = std::filesystem;
using app_lib::service_transport::ServiceTransport;
using app_lib::sys::UniqueFd;

// The descriptor the process's next open or accept gets: with the limit set
// to it, that call fails with EMFILE.
rlim_t lowest_free_descriptor(pid_t pid) {
  const std::set<int> used = open_descriptors(pid);
  rlim_t fd = 0;
  while (used.contains(static_cast<int>(fd))) ++fd;
  return fd;
}

std::size_t count_lines(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

class FaultTest : public SandboxServiceTest {
 protected:
  bool status_becomes(const std::string& wanted) {
    return eventually([&] { return exchange(STATUS_LINE) == wanted; });
  }
};

// The stand-in for a file system that never answers: a stat below it waits
// in the kernel until the file system goes away, and then fails.
TEST(StallingFsTest, HoldsACallUntilItGoesAwayThenFailsIt) {
  TempDir dir;
  const std::filesystem::path mount_point = dir / "stall";
  std::filesystem::create_directory(mount_point);
  auto stalling = StallingFs::mount(mount_point);
  if (!stalling) GTEST_SKIP() << "no FUSE here: " << stalling.error();
  std::atomic<pid_t> tid{0};
  std::atomic<int> error{0};
  std::thread caller([&] {
    tid.store(current_tid());
    struct stat st {};
    error.store(::stat((mount_point / "x").c_str(), &st) == 0 ? 0 : errno);
  });
  const bool waiting = eventually([&] {
    const pid_t t = tid.load();
    return t != 0 && read_file("/proc/self/task/" + std::to_string(t) + "/wchan")
                             .find("request_wait_answer") != std::string::npos;
  });
  stalling.value().reset();
  caller.join();
  EXPECT_TRUE(waiting) << "the call never reached the file system";
  // ECONNABORTED for a request that was waiting (fs/fuse/dev.c,
  // fuse_abort_conn), ENOTCONN for one that came after.
  EXPECT_TRUE(error.load() == ECONNABORTED || error.load() == ENOTCONN) << error.load();
}

TEST_F(FaultTest, CoreThatCrashesAtOnceIsReportedStoppedAndCanBeStartedAgain) {
  start_service();
  const pid_t service = service_->pid();
  CoreConfig crashing("exit-now\n");
  CoreConfig healthy;

  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("crash round " + std::to_string(round));
    ASSERT_EQ(exchange(crashing.start_line()), STARTED);
    EXPECT_TRUE(status_becomes(STATUS_STOPPED));
    EXPECT_EQ(zombie_children(service), 0) << "the probe collects the crashed core";
  }

  // A crashed core nobody has asked about yet is collected by the next start.
  ASSERT_EQ(exchange(crashing.start_line()), STARTED);
  ASSERT_TRUE(eventually([&] { return zombie_children(service) == 1; }));
  ASSERT_EQ(exchange(healthy.start_line()), STARTED);
  EXPECT_EQ(zombie_children(service), 0);
  EXPECT_TRUE(eventually([&] { return running_cores_of(service).size() == 1; }));
  EXPECT_EQ(exchange(STATUS_LINE), STATUS_RUNNING);
}

TEST_F(FaultTest, CoreKilledFromOutsideIsReportedStoppedAndReplacedByTheNextStart) {
  start_service();
  const pid_t service = service_->pid();
  CoreConfig config;
  ASSERT_EQ(exchange(config.start_line()), STARTED);

  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE("kill round " + std::to_string(round));
    std::vector<pid_t> cores;
    ASSERT_TRUE(eventually([&] { return (cores = running_cores_of(service)).size() == 1; }));
    const pid_t victim = cores.front();
    ASSERT_EQ(::kill(victim, SIGKILL), 0);
    ASSERT_TRUE(eventually([&] { return !process_alive(victim); }));

    // Every other round the next start, not a probe, is the first to look at
    // the dead core: it must notice the exit and spawn anew, not keep it.
    if (round % 2 == 0) {
      EXPECT_TRUE(status_becomes(STATUS_STOPPED));
    }
    ASSERT_EQ(exchange(config.start_line()), STARTED);
    ASSERT_TRUE(eventually([&] {
      cores = running_cores_of(service);
      return cores.size() == 1 && cores.front() != victim;
    }));
    EXPECT_EQ(exchange(STATUS_LINE), STATUS_RUNNING);
  }
  EXPECT_EQ(zombie_children(service), 0);
  EXPECT_EQ(exchange(STOP_LINE), response_line(true, "macOS 服务核心已停止", "Stopped"));
  EXPECT_TRUE(running_cores_of(service).empty());
  EXPECT_EQ(zombie_children(service), 0);
}

TEST_F(FaultTest, RestartAfterKillReplacesTheStaleSocketAndDoesNotClaimTheOrphanedCore) {
  const fs::path socket = sandbox_paths().socket;
  CoreConfig config;
  start_service();
  ASSERT_EQ(exchange(config.start_line()), STARTED);
  std::vector<pid_t> cores;
  ASSERT_TRUE(eventually([&] { return (cores = running_cores_of(service_->pid())).size() == 1; }));
  const pid_t orphan = cores.front();
  service_->signal(SIGKILL);
  ASSERT_TRUE(service_->wait_exit().has_value());
  service_.reset();
  EXPECT_TRUE(process_alive(orphan)) << "a killed service cannot stop its core";
  EXPECT_TRUE(fs::is_socket(socket)) << "a killed service cannot remove its socket";
  EXPECT_FALSE(unix_listening(socket)) << "nobody listens on the stale socket";
  EXPECT_FALSE(connect_raw(ServiceTransport::unix_socket(socket)).valid());

  // The stale file has the fresh one's name and mode: only a listener bound
  // anew may count as ready, or this first exchange is refused.
  start_service();
  EXPECT_EQ(exchange(PING_LINE), PONG_STOPPED);
  struct stat fresh {};
  ASSERT_EQ(::stat(socket.c_str(), &fresh), 0);
  EXPECT_EQ((fresh.st_mode & 0777), 0666u);

  EXPECT_EQ(exchange(STATUS_LINE), STATUS_STOPPED);
  EXPECT_EQ(exchange(STOP_LINE), NOT_RUNNING);
  EXPECT_TRUE(process_alive(orphan)) << "the new service must not touch a core it did not start";

  ASSERT_EQ(exchange(config.start_line()), STARTED);
  ASSERT_TRUE(eventually([&] { return (cores = running_cores_of(service_->pid())).size() == 1; }));
  EXPECT_NE(cores.front(), orphan);
  EXPECT_EQ(exchange(STATUS_LINE), STATUS_RUNNING);
  EXPECT_EQ(zombie_children(service_->pid()), 0);
}

// A start that takes a while (hashing tens of MiB) with SIGTERM arriving
// while the request line is still incomplete, or just after it is complete.
// Either way the request in hand is answered, the process exits with 0, and
// the core the start spawned does not outlive the service.
TEST_F(FaultTest, SigtermDuringASlowStartAnswersItAndLeavesNoCore) {
  CoreConfig big(std::string(32u << 20, 'x'));
  const std::string line = big.start_line();
  const std::string_view head = std::string_view(line).substr(0, line.size() - 1);

  for (const bool signal_before_line_is_complete : {true, false}) {
    SCOPED_TRACE(signal_before_line_is_complete ? "signal before the line feed"
                                                : "signal after the line feed");
    kill_stray_cores();
    start_service();
    // With every lazily opened descriptor in place, one more means the
    // connection below has been accepted.
    ASSERT_EQ(exchange(PING_LINE), PONG_STOPPED);
    const std::size_t idle = open_descriptors(service_->pid()).size();

    UniqueFd client = connect_raw(ServiceTransport::unix_socket(sandbox_paths().socket));
    ASSERT_TRUE(client.valid());
    ASSERT_TRUE(send_raw(client.get(), head));
    ASSERT_TRUE(eventually([&] { return open_descriptors(service_->pid()).size() > idle; }));
    if (signal_before_line_is_complete) {
      service_->signal(SIGTERM);
      ASSERT_TRUE(send_raw(client.get(), "\n"));
    } else {
      ASSERT_TRUE(send_raw(client.get(), "\n"));
      service_->signal(SIGTERM);
    }

    EXPECT_EQ(receive_until_eof(client.get(), SLOW_WAIT_LIMIT), STARTED);
    EXPECT_TRUE(exited_cleanly(service_->wait_exit(SLOW_WAIT_LIMIT)));
    EXPECT_EQ(service_->stderr_text(), "");
    EXPECT_TRUE(running_cores().empty()) << "a core started during shutdown must not survive";
    EXPECT_FALSE(fs::exists(sandbox_paths().socket));
  }
}

// With no descriptor left, accept fails while the client stays queued. The
// service reports each failure but paces its retries like its idle polling,
// instead of spinning on a listener that keeps saying a client is waiting,
// and serves the queued client once descriptors are free again.
class DescriptorExhaustionTest : public FaultTest, public ::testing::WithParamInterface<bool> {};

TEST_P(DescriptorExhaustionTest, AcceptFailuresArePacedAndServiceRecovers) {
  const bool mock = GetParam();
  start_service(mock ? ServiceProcess::Options::mock_on(free_tcp_endpoint())
                     : ServiceProcess::Options::privileged());
  const pid_t pid = service_->pid();
  ASSERT_EQ(exchange(PING_LINE), PONG_STOPPED);

  rlimit original{};
  ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, nullptr, &original), 0);
  const rlimit exhausted{lowest_free_descriptor(pid), original.rlim_max};
  ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &exhausted, nullptr), 0);

  std::string answer;
  std::jthread client(
      [&] { answer = raw_exchange(service_->endpoint(), PING_LINE, false, SLOW_WAIT_LIMIT); });
  const std::string expected = std::string(mock ? "accept service ipc connection failed: "
                                                : "accept service unix socket failed: ") +
                               "Too many open files (os error 24)\n";
  ASSERT_TRUE(eventually([&] {
    return service_->stderr_text().find(expected) != std::string::npos;
  })) << service_->stderr_text();

  // Watch the retries for about a second: paced at the idle pause they are a
  // handful, a spinning loop would write thousands of lines and burn the CPU.
  const std::size_t lines_before = count_lines(service_->stderr_text());
  const auto cpu_before = cpu_time(pid);
  const auto window_end = std::chrono::steady_clock::now() + 1s;
  while (std::chrono::steady_clock::now() < window_end) poll_pause();
  const std::size_t retries = count_lines(service_->stderr_text()) - lines_before;
  const auto cpu_used = cpu_time(pid) - cpu_before;
  std::printf("accept retries in 1 s: %zu, CPU time: %lld us\n", retries,
              static_cast<long long>(cpu_used.count() / 1000));
  EXPECT_GE(retries, 1u) << "the service must keep retrying";
  EXPECT_LE(retries, 12u) << "accept retries must be paced";
  EXPECT_LT(cpu_used, std::chrono::milliseconds(250)) << "the service spins";

  const std::string log = service_->stderr_text();
  std::string expected_log;
  for (std::size_t i = 0; i < count_lines(log); ++i) expected_log += expected;
  EXPECT_EQ(log, expected_log) << "only the accept failure may be reported";
  EXPECT_TRUE(service_->running());

  ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &original, nullptr), 0);
  client.join();
  EXPECT_EQ(answer, PONG_STOPPED) << "the queued client is served once descriptors are free";
  EXPECT_EQ(exchange(PING_LINE), PONG_STOPPED);
}

INSTANTIATE_TEST_SUITE_P(BothModes, DescriptorExhaustionTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& mode) {
                           return mode.param ? "Mock" : "Privileged";
                         });

// The runtime directory lives on a tiny tmpfs that only the service (in its
// own mount namespace) sees. Staging a configuration that does not fit fails
// with the staging message and leaves the configuration staged before intact.
TEST_F(FaultTest, FullRuntimeFileSystemFailsTheStartAndKeepsTheStagedConfig) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  {
    TempDir probe;
    auto [status, output] =
        run_program({"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c",
                     "mount -t tmpfs -o size=64k tmpfs \"$0\"", probe.path().string()});
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      GTEST_SKIP() << "no private mount namespace with a tmpfs here";
    }
  }

  const SandboxPaths p = sandbox_paths();
  fs::create_directories(p.runtime_dir);
  TempDir scripts;
  // unshare without --fork execs in place, so the service keeps this pid.
  const fs::path launcher = scripts / "service-on-tiny-runtime";
  write_file(launcher,
             "#!/bin/sh\n"
             "exec /usr/bin/unshare -m --propagation private /bin/sh -c "
             "'mount -t tmpfs -o size=64k tmpfs \"$NT_RUNTIME\" && exec \"$NT_SERVICE\"'\n");
  fs::permissions(launcher, fs::perms::owner_all);
  ServiceProcess::Options options = ServiceProcess::Options::privileged(launcher);
  options.extra_env = {"NT_RUNTIME=" + p.runtime_dir.string(),
                       "NT_SERVICE=" + p.protected_service.string()};
  start_service(options);
  ASSERT_TRUE(eventually([&] { return exchange(PING_LINE) == PONG_STOPPED; }))
      << service_->stderr_text();
  const fs::path staged_in_service_view = "/proc/" + std::to_string(service_->pid()) + "/root" +
                                          (p.runtime_dir / "config.yaml").string();

  CoreConfig small("small: 1\n");
  ASSERT_EQ(exchange(small.start_line()), STARTED);
  ASSERT_EQ(read_file(staged_in_service_view), "small: 1\n");
  EXPECT_FALSE(fs::exists(p.runtime_dir / "config.yaml")) << "the tmpfs must hide the staging";

  CoreConfig too_big(std::string(256u << 10, 'y'));
  EXPECT_EQ(
      exchange(too_big.start_line()),
      response_line(false, "写入 macOS 服务核心临时配置失败: No space left on device (os error 28)",
                    "Unavailable"));
  EXPECT_EQ(read_file(staged_in_service_view), "small: 1\n");
  EXPECT_EQ(exchange(STATUS_LINE), STATUS_RUNNING) << "the running core is left alone";

  // The partial staging file must not keep the file system full.
  CoreConfig again("again: 2\n");
  EXPECT_EQ(exchange(again.start_line()), KEPT);
  EXPECT_EQ(read_file(staged_in_service_view), "again: 2\n");
}

// The commit swaps the new copy in and then removes the old one. When the
// old one cannot be removed the commit has failed, and says so, with the
// earlier config.yaml still in place and the new bytes left in
// config.yaml.tmp, as after a failed rename.
TEST_F(FaultTest, OldCopyThatCannotBeRemovedFailsTheCommitAndKeepsTheEarlierConfig) {
  TempDir shim_dir;
  ServiceProcess::Options options = ServiceProcess::Options::privileged();
  options.extra_env = xnu_shim_env(shim_dir.path());
  options.extra_env.emplace_back("NIMBLETRACE_SHIM_BUSY_UNLINK=config.yaml.tmp");
  start_service(options);
  const fs::path runtime = sandbox_paths().runtime_dir;
  CoreConfig first("first: 1\n");
  ASSERT_EQ(exchange(first.start_line()), STARTED);
  CoreConfig second("second: 2\n");
  EXPECT_EQ(exchange(second.start_line()),
            response_line(false,
                          "提交 macOS 服务核心配置失败: " + app_lib::sys::sys_error_text(EBUSY),
                          "Unavailable"));
  EXPECT_EQ(read_file(runtime / "config.yaml"), "first: 1\n");
  EXPECT_EQ(read_file(runtime / "config.yaml.tmp"), "second: 2\n");
}

// A request that makes the service run out of memory is that request's
// failure: it is answered, and the service, its socket and its core stay.
TEST_F(FaultTest, AllocationFailureInARequestIsAnsweredAndServingGoesOn) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' allocators abort instead of throwing when memory runs out";
#endif
  start_service();
  CoreConfig running;
  ASSERT_EQ(exchange(running.start_line()), STARTED);
  const auto cores = running_cores();
  ASSERT_EQ(cores.size(), 1u);

  // Room for everything the service does, but not for a configuration at
  // the size limit: that is more than one of glibc's thread arenas can ever
  // hold (64 MiB each), so no space reserved earlier can take it either.
  const long size_kib = status_kib(service_->pid(), "VmSize");
  ASSERT_GT(size_kib, 0);
  const rlim_t limit = static_cast<rlim_t>(size_kib + 16 * 1024) * 1024;
  const rlimit tight{limit, RLIM_INFINITY};
  ASSERT_EQ(::prlimit(service_->pid(), RLIMIT_AS, &tight, nullptr), 0) << std::strerror(errno);
  CoreConfig big("");
  fs::resize_file(big.config_file, app_lib::service_runner::SERVICE_CORE_CONFIG_SIZE_LIMIT);

  EXPECT_EQ(exchange(big.start_line()),
            response_line(false, "处理 macOS 服务请求失败: std::bad_alloc", "Unavailable"));
  EXPECT_TRUE(service_->running());
  EXPECT_EQ(exchange(STATUS_LINE), STATUS_RUNNING);
  EXPECT_EQ(running_cores(), cores);
}

}  // namespace
}  // namespace nimbletrace_test
