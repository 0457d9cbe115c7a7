#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>

#include "app_lib/service_runner/service_runner.h"
#include "app_lib/sys/fixed_paths.h"
#include "app_lib/sys/sha256.h"
#include "tests/support/core_child.h"
#include "tests/support/test_support.h"

namespace app_lib::service_runner {
namespace {

namespace fs = std::filesystem;
using nimbletrace_test::current_tid;
using nimbletrace_test::error_of;
using nimbletrace_test::process_collected;
using nimbletrace_test::read_file;
using nimbletrace_test::thread_file_credentials;
using nimbletrace_test::write_file;
using service_ipc::ServiceRunnerCoreLaunchConfig;

constexpr char kStarted[] = "macOS launchd 服务核心启动请求已发送";
constexpr char kPathRule[] = "拒绝不符合应用运行目录规则的 macOS 服务核心配置路径";
constexpr char kEndpoint[] = "拒绝非本机或无效的 macOS 服务核心控制端点";
constexpr char kDigest[] = "拒绝哈希不匹配的 macOS 服务核心配置";
constexpr char kEnoent[] = "No such file or directory (os error 2)";

std::string digest_of(std::string_view bytes) {
  return sys::sha256_hex(bytes).value();
}

unsigned mode_of(const fs::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0xFFFF;
}

pid_t core_pid() {
  pid_t pid = -1;
  (void)SERVICE_CORE_CHILD().with_lock([&](std::optional<ServiceCoreChildState>& slot) {
    if (slot) pid = slot->child.pid();
  });
  return pid;
}

TEST(Sha256Test, MatchesKnownDigests) {
  EXPECT_EQ(digest_of(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(digest_of(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

class CoreLaunchTest : public testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override { ServiceCoreChildSlotTestPeer::reset(SERVICE_CORE_CHILD()); }

  // Empty slot; fresh sandbox with the stand-in core installed; fresh
  // .nimbletrace/config.yaml.
  void reset() {
    ServiceCoreChildSlotTestPeer::reset(SERVICE_CORE_CHILD());
    ASSERT_FALSE(sys::fs_root().empty());
    fs::remove_all(sys::fs_root());
    fs::create_directories(sys::privileged_helper_tools_dir());
    fs::create_symlink(nimbletrace_test::core_stub_path(), ServiceRunner::macos_core_binary_path());
    fs::remove_all(home());
    fs::create_directories(config_dir());
    write_config("listen: 9090\n");
  }

  fs::path home() const { return temp_ / "home"; }
  fs::path config_dir() const { return home() / ".nimbletrace"; }
  fs::path runtime_dir() const { return ServiceRunner::macos_runtime_dir(); }

  void write_config(const std::string& bytes) {
    write_file(config_dir() / "config.yaml", bytes);
    config_ = bytes;
  }
  ServiceRunnerCoreLaunchConfig request(std::uint16_t port = 9090) const {
    return {config_dir(), config_dir() / "config.yaml", digest_of(config_), "127.0.0.1", port};
  }
  static Result<std::string> start(const ServiceRunnerCoreLaunchConfig& config) {
    return ServiceRunner::service_start_core_process(config);
  }

  nimbletrace_test::TempDir temp_;
  nimbletrace_test::ScopedEnv record_{"NIMBLETRACE_CORE_STUB_RECORD", (temp_ / "record").native()};
  std::string config_;
};

TEST_F(CoreLaunchTest, StartsCoreOnOwnerOnlyCopyAndTightensLeftovers) {
  fs::create_directories(runtime_dir());
  fs::permissions(runtime_dir(), fs::perms::all);
  write_file(runtime_dir() / "config.yaml.tmp", "stale staging");
  fs::permissions(runtime_dir() / "config.yaml.tmp", fs::perms(0666));
  ::chmod((config_dir() / "config.yaml").c_str(), 0644);

  EXPECT_EQ(start(request()).value(), kStarted);
  EXPECT_EQ(ServiceRunner::service_core_process_status().value(),
            service_ipc::ServiceRunnerStatus::Running);
  auto seen = nimbletrace_test::await_stub_record(temp_ / "record");
  EXPECT_EQ(seen["pid"], std::to_string(core_pid()));
  EXPECT_EQ(seen["arg"],
            ServiceRunner::macos_core_binary_path().native() + " -d " + runtime_dir().native());
  EXPECT_EQ(seen["config"], config_);
  EXPECT_EQ(seen["fds"], "0,1,2");
  EXPECT_EQ(seen["null_stdio"], "1 1 1");

  EXPECT_EQ(read_file(runtime_dir() / "config.yaml"), config_);
  EXPECT_EQ(mode_of(runtime_dir()), 0700u);
  EXPECT_EQ(mode_of(runtime_dir() / "config.yaml"), 0600u);
  EXPECT_FALSE(fs::exists(runtime_dir() / "config.yaml.tmp"));
  EXPECT_EQ(mode_of(config_dir() / "config.yaml"), 0644u);  // the client's file is only read
}

TEST_F(CoreLaunchTest, RefusalsComeInOrderAndTouchNothing) {
  const std::string digest = digest_of(config_);
  const fs::path file = config_dir() / "config.yaml";
  // Places `config.yaml` at home()/relative and points the request at it.
  auto move_to = [&](ServiceRunnerCoreLaunchConfig& c, const std::string& dir,
                     const std::string& name) {
    fs::create_directories(home() / dir);
    write_file(home() / dir / name, config_);
    c.config_dir = home() / dir;
    c.config_file = home() / dir / name;
  };
  const struct {
    const char* name;
    std::function<void(ServiceRunnerCoreLaunchConfig&)> change;
    std::string expected;
  } cases[] = {
      {"core missing, bad dir too",
       [&](auto& c) {
         fs::remove(ServiceRunner::macos_core_binary_path());
         c.config_dir = "/nonexistent";
       },
       "未找到 macOS 服务模式核心程序: " + ServiceRunner::macos_core_binary_path().native()},
      {"dir and file missing",
       [&](auto& c) {
         c.config_dir = home() / "none" / ".nimbletrace";
         c.config_file = home() / "none" / ".nimbletrace" / "config.yaml";
       },
       std::string("解析 macOS 服务核心配置目录失败: ") + kEnoent},
      {"dir not trimmed", [](auto& c) { c.config_dir += " "; },
       std::string("解析 macOS 服务核心配置目录失败: ") + kEnoent},
      {"file missing", [&](auto& c) { c.config_file = config_dir() / "nope.yaml"; },
       std::string("解析 macOS 服务核心配置文件失败: ") + kEnoent},
      {"file in a subdirectory",
       [&](auto& c) {
         move_to(c, ".nimbletrace/sub", "config.yaml");
         c.config_dir = config_dir();
       },
       kPathRule},
      {"Config.yaml", [&](auto& c) { move_to(c, ".nimbletrace", "Config.yaml"); }, kPathRule},
      {"dir not .nimbletrace", [&](auto& c) { move_to(c, "nimbletrace", "config.yaml"); },
       kPathRule},
      {"config.yaml links out",
       [&](auto& c) {
         move_to(c, "elsewhere", "config.yaml");
         fs::remove(file);
         fs::create_symlink(c.config_file, file);
         c.config_dir = config_dir();
         c.config_file = file;
       },
       kPathRule},
      {"localhost", [](auto& c) { c.controller_host = "localhost"; }, kEndpoint},
      {"ipv6 loopback", [](auto& c) { c.controller_host = "::1"; }, kEndpoint},
      {"leading space", [](auto& c) { c.controller_host = " 127.0.0.1"; }, kEndpoint},
      {"port 0", [](auto& c) { c.controller_port = 0; }, kEndpoint},
      {"fifo",
       [&](auto&) {
         fs::remove(file);
         ::mkfifo(file.c_str(), 0600);
       },
       "读取 macOS 服务核心配置失败: not a regular file"},
      {"directory named config.yaml",
       [&](auto&) {
         fs::remove(file);
         fs::create_directory(file);
       },
       "读取 macOS 服务核心配置失败: Is a directory (os error 21)"},
      {"one byte over the size limit",
       [&](auto&) { fs::resize_file(file, SERVICE_CORE_CONFIG_SIZE_LIMIT + 1); },
       "读取 macOS 服务核心配置失败: File too large (os error 27)"},
      {"63 digits", [&](auto& c) { c.config_sha256 = digest.substr(1); }, kDigest},
      {"65 digits", [&](auto& c) { c.config_sha256 = digest + "0"; }, kDigest},
      {"trailing newline", [&](auto& c) { c.config_sha256 = digest + "\n"; }, kDigest},
      {"padded to 64", [&](auto& c) { c.config_sha256 = " " + digest.substr(1); }, kDigest},
      {"digest left out", [](auto& c) { c.config_sha256.clear(); }, kDigest},
      {"other digest", [](auto& c) { c.config_sha256 = digest_of("other"); }, kDigest},
  };
  for (const auto& c : cases) {
    reset();
    ServiceRunnerCoreLaunchConfig config = request();
    c.change(config);
    auto refused = start(config);
    EXPECT_EQ(error_of(refused), c.expected) << c.name;
    EXPECT_FALSE(fs::exists(runtime_dir())) << c.name;
    EXPECT_EQ(core_pid(), -1) << c.name;
  }
}

TEST_F(CoreLaunchTest, ConfigurationOfExactlyTheSizeLimitIsAccepted) {
  const std::string zeros(SERVICE_CORE_CONFIG_SIZE_LIMIT, '\0');
  write_config("");
  fs::resize_file(config_dir() / "config.yaml", zeros.size());
  ServiceRunnerCoreLaunchConfig config = request();
  config.config_sha256 = digest_of(zeros);
  EXPECT_EQ(start(config).value(), kStarted);
  EXPECT_EQ(fs::file_size(runtime_dir() / "config.yaml"), zeros.size());
}

// Only someone who can write the service root can put something other than a
// directory at runtime/; even then the staged copy and the mode change must
// not land anywhere else.
TEST_F(CoreLaunchTest, RuntimeThatIsNotADirectoryIsRefusedWithTheSystemsCause) {
  const fs::path elsewhere = temp_ / "elsewhere";
  const struct {
    const char* name;
    std::function<void()> plant;
    std::string cause;
  } cases[] = {
      {"plain file", [&] { write_file(runtime_dir(), "file\n"); }, "File exists (os error 17)"},
      {"link to a directory", [&] { fs::create_directory_symlink(elsewhere, runtime_dir()); },
       "Too many levels of symbolic links (os error 40)"},
      {"dangling link", [&] { fs::create_symlink(temp_ / "none", runtime_dir()); },
       "Too many levels of symbolic links (os error 40)"},
  };
  for (const auto& c : cases) {
    reset();
    fs::remove_all(elsewhere);
    fs::create_directories(elsewhere);
    ::chmod(elsewhere.c_str(), 0755);
    fs::create_directories(runtime_dir().parent_path());
    c.plant();
    EXPECT_EQ(error_of(start(request())), "创建 macOS 服务运行目录失败: " + c.cause) << c.name;
    EXPECT_EQ(mode_of(elsewhere), 0755u) << c.name;
    EXPECT_TRUE(fs::is_empty(elsewhere)) << c.name;
    EXPECT_EQ(core_pid(), -1) << c.name;
  }
}

// Reading on behalf of a peer uses exactly the peer's rights, and the serving
// thread has its own back afterwards, whatever the outcome.
TEST_F(CoreLaunchTest, RequesterRightsDecideWhatIsRead) {
  if (::geteuid() != 0) GTEST_SKIP() << "taking on another user's rights needs root";
  const platform::PeerCredentials nobody{
      nimbletrace_test::ATTACKER_UID, nimbletrace_test::ATTACKER_GID, {}};
  const platform::PeerCredentials root{0, 0, {}};
  const platform::PeerCredentials nobody_in_group{
      nimbletrace_test::ATTACKER_UID, nimbletrace_test::ATTACKER_GID, {4242}};
  const fs::path file = config_dir() / "config.yaml";
  const struct {
    const char* name;
    platform::PeerCredentials requester;
    unsigned mode;
    gid_t group;
    std::string expected;
  } cases[] = {
      {"root-only file, unprivileged requester", nobody, 0600, 0,
       "读取 macOS 服务核心配置失败: Permission denied (os error 13)"},
      {"root-only file, root requester", root, 0600, 0, kStarted},
      {"world-readable file, unprivileged requester", nobody, 0644, 0, kStarted},
      {"group-readable file, requester in the group", nobody_in_group, 0640, 4242, kStarted},
      {"group-readable file, requester not in it", nobody, 0640, 4242,
       "读取 macOS 服务核心配置失败: Permission denied (os error 13)"},
  };
  const std::string own = thread_file_credentials(current_tid());
  for (const auto& c : cases) {
    reset();
    ::chmod(temp_.path().c_str(), 0755);
    ::chmod(file.c_str(), c.mode);
    ASSERT_EQ(::chown(file.c_str(), 0, c.group), 0);
    auto result = ServiceRunner::service_start_core_process(request(), c.requester);
    EXPECT_EQ(result ? *result : result.error(), c.expected) << c.name;
    EXPECT_EQ(thread_file_credentials(current_tid()), own) << c.name;
  }
}

TEST_F(CoreLaunchTest, CanonicalFormDecides) {
  fs::create_directory_symlink(config_dir(), home() / "app-config");
  fs::create_symlink("config.yaml", config_dir() / "alias.yaml");
  const struct {
    const char* name;
    std::function<void(ServiceRunnerCoreLaunchConfig&)> change;
  } cases[] = {
      {"linked directory",
       [&](auto& c) {
         c.config_dir = home() / "app-config";
         c.config_file = home() / "app-config" / "config.yaml";
       }},
      {"dot component", [&](auto& c) { c.config_file = config_dir() / "." / "config.yaml"; }},
      {"link of another name", [&](auto& c) { c.config_file = config_dir() / "alias.yaml"; }},
      {"upper-case digest",
       [](auto& c) {
         for (char& ch : c.config_sha256) ch = static_cast<char>(std::toupper(ch));
       }},
      {"port 65535", [](auto& c) { c.controller_port = 65535; }},
      {"empty file",
       [&](auto& c) {
         write_config("");
         c.config_sha256 = digest_of("");
       }},
  };
  for (const auto& c : cases) {
    ServiceRunnerCoreLaunchConfig config = request();
    c.change(config);
    auto started = start(config);
    EXPECT_TRUE(started.has_value()) << c.name << ": " << error_of(started);
  }
  EXPECT_EQ(read_file(runtime_dir() / "config.yaml"), "");
}

TEST_F(CoreLaunchTest, SameEndpointKeepsCoreButStagesNewBytes) {
  ASSERT_OK(start(request()));
  const pid_t first = core_pid();
  write_config("listen: 9090\nlevel: debug\n");
  EXPECT_EQ(start(request()).value(), "macOS 服务核心已在运行");
  EXPECT_EQ(core_pid(), first);
  EXPECT_TRUE(nimbletrace_test::process_alive(first));
  EXPECT_EQ(read_file(runtime_dir() / "config.yaml"), config_);
}

TEST_F(CoreLaunchTest, OtherEndpointOrExitedCoreIsReplacedAfterReaping) {
  write_config("exit-now\n");
  ASSERT_OK(start(request(9090)));
  const pid_t exited = core_pid();
  ASSERT_TRUE(
      nimbletrace_test::eventually([&] { return nimbletrace_test::process_zombie(exited); }));
  write_config("listen: 9090\n");
  EXPECT_EQ(start(request(9090)).value(), kStarted);
  const pid_t second = core_pid();
  EXPECT_TRUE(process_collected(exited));

  EXPECT_EQ(start(request(9091)).value(), kStarted);
  EXPECT_TRUE(process_collected(second));
  EXPECT_TRUE(nimbletrace_test::process_alive(core_pid()));
}

TEST_F(CoreLaunchTest, FailuresAfterStagingLeaveNoCore) {
  ASSERT_OK(start(request(9090)));
  const pid_t first = core_pid();
  fs::remove(ServiceRunner::macos_core_binary_path());
  write_file(ServiceRunner::macos_core_binary_path(), "not a program");
  EXPECT_EQ(error_of(start(request(9091))),
            "macOS 服务模式拉起核心失败: Permission denied (os error 13)");
  EXPECT_TRUE(process_collected(first));
  EXPECT_EQ(core_pid(), -1);

  fs::remove(runtime_dir() / "config.yaml");
  fs::create_directory(runtime_dir() / "config.yaml");
  EXPECT_EQ(error_of(start(request())),
            "提交 macOS 服务核心配置失败: Is a directory (os error 21)");
  EXPECT_EQ(read_file(runtime_dir() / "config.yaml.tmp"), config_);

  (void)SERVICE_CORE_CHILD().with_lock(
      [](std::optional<ServiceCoreChildState>&) -> int { throw std::runtime_error("half done"); });
  fs::remove(runtime_dir() / "config.yaml");
  EXPECT_EQ(error_of(start(request())), "macOS 服务核心进程状态锁异常");
  EXPECT_EQ(read_file(runtime_dir() / "config.yaml"), config_);
}

}  // namespace
}  // namespace app_lib::service_runner
