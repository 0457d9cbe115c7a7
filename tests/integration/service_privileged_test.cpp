#include <signal.h>
#include <sys/wait.h>

#include <optional>
#include <string>

#include "app_lib/sys/sys_error.h"
#include "tests/support/service_harness.h"
#include "tests/support/test_support.h"
#include "tests/support/transport_peer.h"

namespace nimbletrace_test {
namespace {

namespace fs = std::filesystem;
using app_lib::service_transport::ServiceTransport;
using app_lib::service_transport::ServiceTransportForm;

const std::string NO_SUCH_FILE = app_lib::sys::sys_error_text(ENOENT);

fs::path servicectl() {
  return fs::canonical(bin_dir() / "nimbletrace-servicectl");
}

// This test binary is the authorized client: it talks to the service itself.
using PrivilegedServiceTest = SandboxServiceTest;

TEST_F(PrivilegedServiceTest, ServesTheAuthorizedClientThroughTheProtectedSymlink) {
  start_service();
  EXPECT_EQ(exchange(PING_LINE), PONG_STOPPED);
  CoreConfig config;
  EXPECT_EQ(exchange(config.start_line()), STARTED);
  EXPECT_EQ(exchange(STATUS_LINE), STATUS_RUNNING);
}

TEST_F(PrivilegedServiceTest, RefusesAnotherExecutableAndKeepsServing) {
  start_service();
  auto [status, output] =
      run_program({servicectl().string(), "--socket", sandbox_paths().socket.string(), "ping"});
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_TRUE(output.starts_with(
      "{\"ok\":false,\"message\":\"拒绝未授权的 macOS ServiceRunner 客户端(pid="))
      << output;
  EXPECT_NE(output.find(", path=" + servicectl().string() + ")\",\"data\":\"Unavailable\""),
            std::string::npos)
      << output;
  EXPECT_EQ(exchange(PING_LINE), PONG_STOPPED);
}

TEST_F(PrivilegedServiceTest, ReplacedClientFileTakesEffectOnTheNextConnection) {
  start_service();
  write_file(sandbox_paths().authorized_file, servicectl().string() + "\n");
  const std::string refused = exchange(PING_LINE);
  EXPECT_NE(refused.find("path=" + fs::canonical(self_executable()).string() + ")"),
            std::string::npos)
      << refused;
  auto [status, output] =
      run_program({servicectl().string(), "--socket", sandbox_paths().socket.string(), "status"});
  EXPECT_EQ(output, STATUS_STOPPED);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(PrivilegedServiceTest, RemovedClientFileEndsTheLoopButLeavesTheCoreRunning) {
  start_service();
  CoreConfig config;
  ASSERT_EQ(exchange(config.start_line()), STARTED);
  ASSERT_TRUE(eventually([] { return running_cores().size() == 1; }));
  fs::remove(sandbox_paths().authorized_file);

  EXPECT_EQ(exchange(PING_LINE), "") << "the connection must be closed unanswered";
  const auto status = service_->wait_exit();
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1);
  EXPECT_EQ(
      service_->stderr_text(),
      "nimbletrace-service failed: 读取 macOS 服务授权客户端路径失败: " + NO_SUCH_FILE + "\n");
  EXPECT_FALSE(fs::exists(sandbox_paths().socket));
  EXPECT_EQ(running_cores().size(), 1u);
}

TEST_F(PrivilegedServiceTest, SigtermStopsTheCoreAndRemovesTheSocket) {
  start_service();
  CoreConfig config;
  ASSERT_EQ(exchange(config.start_line()), STARTED);
  service_->signal(SIGTERM);
  const auto status = service_->wait_exit();
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  EXPECT_EQ(service_->stderr_text(), "");
  EXPECT_FALSE(fs::exists(sandbox_paths().socket));
  EXPECT_TRUE(running_cores().empty());
}

TEST_F(PrivilegedServiceTest, StartupChecksRefuseWithTheirMessage) {
  TempDir elsewhere;
  const fs::path copy = elsewhere / "nimbletrace-service";
  fs::copy_file(bin_dir() / "nimbletrace-service", copy);
  fs::permissions(copy, fs::perms::owner_all);

  struct Case {
    std::string name;
    std::function<void()> arrange;
    fs::path executable;
    std::string message;
  };
  const SandboxPaths p = sandbox_paths();
  const Case cases[] = {
      {"run from a copy outside the protected directory", [] {}, copy,
       "拒绝从非受保护目录运行 macOS 服务: " + fs::canonical(copy).string()},
      {"nothing at the protected host path", [&] { fs::remove(p.protected_service); },
       bin_dir() / "nimbletrace-service", "解析受保护的 macOS 服务宿主失败: " + NO_SUCH_FILE},
      {"core missing", [&] { fs::remove(p.core); }, {}, "macOS 服务核心文件不存在，请重新安装 PKG"},
      {"client file missing",
       [&] { fs::remove(p.authorized_file); },
       {},
       "读取 macOS 服务授权客户端路径失败: " + NO_SUCH_FILE},
      {"client file names nothing",
       [&] { write_file(p.authorized_file, " /nonexistent/app \n"); },
       {},
       "解析 macOS 服务授权客户端路径失败(/nonexistent/app): " + NO_SUCH_FILE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    install_sandbox(self_executable());
    c.arrange();
    ServiceProcess service(ServiceProcess::Options::privileged(c.executable));
    const auto status = service.wait_exit();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1);
    EXPECT_EQ(service.stderr_text(), "nimbletrace-service failed: " + c.message + "\n");
    EXPECT_FALSE(fs::exists(p.socket));
  }
}

TEST_F(PrivilegedServiceTest, ServicectlDrivesTheCoreComputingTheDigestItself) {
  write_file(sandbox_paths().authorized_file, servicectl().string() + "\n");
  start_service();
  CoreConfig config;
  const std::string socket = sandbox_paths().socket.string();
  struct Step {
    std::vector<std::string> args;
    int exit_status;
    std::string output;
  };
  const Step steps[] = {
      {{"start", "--config-dir", config.config_dir.string(), "--config-file",
        config.config_file.string(), "--controller-host", "127.0.0.1", "--controller-port", "9090"},
       0,
       STARTED},
      {{"status"}, 0, STATUS_RUNNING},
      {{"start", "--config-dir", config.config_dir.string(), "--config-file",
        config.config_file.string(), "--controller-host", "127.0.0.1", "--controller-port", "9090",
        "--sha256", std::string(64, '0')},
       1,
       response_line(false, "拒绝哈希不匹配的 macOS 服务核心配置", "Unavailable")},
      {{"stop"}, 0, response_line(true, "macOS 服务核心已停止", "Stopped")},
      {{"ping"}, 0, PONG_STOPPED},
      {{"frobnicate"}, 2, ""},
      {{"start", "--config-dir", config.config_dir.string()}, 2, ""},
      {{"--help"}, 0, "usage: nimbletrace-servicectl"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.args.front());
    std::vector<std::string> argv{servicectl().string(), "--socket", socket};
    argv.insert(argv.end(), step.args.begin(), step.args.end());
    auto [status, output] = run_program(argv);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), step.exit_status) << output;
    EXPECT_TRUE(output.starts_with(step.output)) << output;
    if (step.args.front() != "--help" && !step.output.empty()) {
      EXPECT_EQ(output, step.output);
    }
  }
}

// The service resolves paths from its own working directory; the client must
// send what the user meant from theirs.
TEST_F(PrivilegedServiceTest, ServicectlSendsRelativeConfigurationPathsAsAbsolute) {
  write_file(sandbox_paths().authorized_file, servicectl().string() + "\n");
  start_service();
  CoreConfig config;
  auto [status, output] =
      run_program({servicectl().string(), "--socket", sandbox_paths().socket.string(), "start",
                   "--config-dir", ".nimbletrace", "--config-file", ".nimbletrace/config.yaml",
                   "--controller-host", "127.0.0.1", "--controller-port", "9090"},
                  {}, WAIT_LIMIT, config.dir.path());
  EXPECT_EQ(output, STARTED);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// What servicectl shows is what the service sent: members in their order,
// and members it does not know, not a re-encoding of what it understood.
TEST_F(PrivilegedServiceTest, ServicectlPrintsTheResponseLineAsReceived) {
  const std::string line =
      R"({"protocol_version":1,"data":"Running","message":"m","ok":false,"extra":[1]})"
      "\n";
  TempDir dir;
  ScriptedPeer server(ServiceTransportForm::Tcp, dir.path(),
                      [&](app_lib::service_transport::ServiceTransportStream& stream) {
                        (void)stream.read_request();
                        EXPECT_TRUE(send_raw(stream.native_handle(), line));
                      });
  const auto& endpoint = std::get<ServiceTransport::Tcp>(server.endpoint().endpoint).addr;
  auto [status, output] = run_program({servicectl().string(), "--endpoint", endpoint, "ping"});
  EXPECT_EQ(output, line);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
}

TEST_F(PrivilegedServiceTest, ServicectlReportsTransportErrorsWithExitStatusTwo) {
  // No service is running: the socket does not exist.
  auto [status, output] =
      run_program({servicectl().string(), "--socket", sandbox_paths().socket.string(), "ping"});
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_EQ(output, "");
}

}  // namespace
}  // namespace nimbletrace_test
