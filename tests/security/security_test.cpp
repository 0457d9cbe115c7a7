// The privileged service seen from an attacker's side: its socket is open to
// every local user, and the configuration path, the configuration file and
// even the runtime directory may have been prepared by someone hostile. Each
// case checks both the answer and that nothing was done beyond it.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "app_lib/sys/fd.h"
#include "tests/support/service_harness.h"
#include "tests/support/test_support.h"

namespace nimbletrace_test {
namespace {

namespace fs = std::filesystem;
using app_lib::service_transport::ServiceTransport;
using app_lib::sys::UniqueFd;

const std::string PATH_RULE_REFUSED =
    response_line(false, "拒绝不符合应用运行目录规则的 macOS 服务核心配置路径", "Unavailable");
const std::string DIGEST_REFUSED =
    response_line(false, "拒绝哈希不匹配的 macOS 服务核心配置", "Unavailable");

// Type, mode and contents of everything below `root`, keyed by relative path.
std::map<std::string, std::string> snapshot(const fs::path& root) {
  std::map<std::string, std::string> entries;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    struct stat st {};
    if (::lstat(it->path().c_str(), &st) != 0) continue;
    std::string description = std::to_string(st.st_mode) + " ";
    if (S_ISREG(st.st_mode)) description += read_file(it->path());
    if (S_ISLNK(st.st_mode)) description += fs::read_symlink(it->path()).string();
    entries[fs::relative(it->path(), root).string()] = description;
  }
  return entries;
}

mode_t mode_of(const fs::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return 0;
  return st.st_mode;
}

// Run from a copy of this test binary: sends one line to the socket and prints
// its own pid and the answer, so the test can check what the service saw.
NIMBLETRACE_TEST_HELPER(send_line) {
  if (argc != 2) return 2;
  const UniqueFd fd = connect_raw(ServiceTransport::unix_socket(argv[0]));
  if (!fd) return 3;
  // A refused peer may be answered and hung up on before its request is all
  // written: the send can fail, and the answer is still there to read.
  (void)send_raw(fd.get(), argv[1]);
  const std::string answer = receive_until_eof(fd.get());
  std::printf("pid=%d\n%s", static_cast<int>(::getpid()), answer.c_str());
  return 0;
}

// Run from a copy of this test binary: connects as the copy, then turns the
// connecting process into `program` by exec while a forked child, which
// shares the connection, sends the line and prints "answer:" and the answer.
// The child writes `marker` once the exec has happened.
NIMBLETRACE_TEST_HELPER(connect_then_exec) {
  if (argc != 4) return 2;
  const char* program = argv[2];
  const UniqueFd fd = connect_raw(ServiceTransport::unix_socket(argv[0]));
  if (!fd) return 3;
  const pid_t connector = ::getpid();
  const pid_t child = ::fork();
  if (child < 0) return 4;
  if (child > 0) {
    ::execl(program, program, "--nt-helper", "wait_children", nullptr);
    ::_exit(5);
  }
  const std::string exe_link = "/proc/" + std::to_string(connector) + "/exe";
  const bool exec_seen = eventually([&] {
    std::error_code ec;
    return fs::read_symlink(exe_link, ec) == fs::path(program);
  });
  if (!exec_seen) ::_exit(6);
  write_file(argv[3], "exec done\n");
  (void)send_raw(fd.get(), argv[1]);
  const std::string answer = "answer:" + receive_until_eof(fd.get());
  (void)!::write(STDOUT_FILENO, answer.data(), answer.size());
  ::_exit(0);
}

NIMBLETRACE_TEST_HELPER(wait_children) {
  while (::wait(nullptr) > 0) {
  }
  return 0;
}

class SecurityTest : public SandboxServiceTest {
 protected:
  void SetUp() override {
    SandboxServiceTest::SetUp();
    start_service();
  }
  // Nothing staged and no core: what every refused request must leave.
  void expect_nothing_done() {
    EXPECT_FALSE(fs::exists(sandbox_paths().runtime_dir));
    EXPECT_TRUE(running_cores().empty());
    EXPECT_EQ(exchange(PING_LINE), PONG_STOPPED) << "the service must go on serving";
  }
};

TEST_F(SecurityTest, ByteIdenticalCopyOfTheAuthorizedClientIsRefused) {
  TempDir elsewhere;
  // Same bytes and same file name as the authorized client, other directory.
  const fs::path copy = elsewhere / self_executable().filename().string();
  fs::copy_file(self_executable(), copy);
  fs::permissions(copy, fs::perms::owner_all);
  CoreConfig config;

  auto [status, output] = run_program({copy.string(), "--nt-helper", "send_line",
                                       sandbox_paths().socket.string(), config.start_line()});
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "wait status " << status << ", output: " << output;
  ASSERT_TRUE(output.starts_with("pid=") && output.find('\n') != std::string::npos) << output;
  const std::string pid = output.substr(4, output.find('\n') - 4);
  ASSERT_FALSE(pid.empty());
  ASSERT_EQ(pid.find_first_not_of("0123456789"), std::string::npos) << output;
  EXPECT_EQ(output, "pid=" + pid + "\n" +
                        response_line(false,
                                      "拒绝未授权的 macOS ServiceRunner 客户端(pid=" + pid +
                                          ", path=" + fs::canonical(copy).string() + ")",
                                      "Unavailable"));
  expect_nothing_done();
}

TEST_F(SecurityTest, CommandLineClientIsRefusedWhenItIsNotTheAuthorizedOne) {
  const fs::path servicectl = fs::canonical(bin_dir() / "nimbletrace-servicectl");
  CoreConfig config;
  auto [status, output] = run_program(
      {servicectl.string(), "--socket", sandbox_paths().socket.string(), "start", "--config-dir",
       config.config_dir.string(), "--config-file", config.config_file.string(),
       "--controller-host", "127.0.0.1", "--controller-port", "9090"});
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1) << output;
  const std::string head = R"({"ok":false,"message":"拒绝未授权的 macOS ServiceRunner 客户端(pid=)";
  const std::string tail =
      ", path=" + servicectl.string() + R"x()","data":"Unavailable","protocol_version":1})x" + "\n";
  ASSERT_TRUE(output.starts_with(head) && output.ends_with(tail)) << output;
  const std::string pid = output.substr(head.size(), output.size() - head.size() - tail.size());
  EXPECT_FALSE(pid.empty());
  EXPECT_EQ(pid.find_first_not_of("0123456789"), std::string::npos) << output;
  expect_nothing_done();
}

// config.yaml inside a real .nimbletrace directory, but resolving elsewhere.
TEST_F(SecurityTest, ConfigurationThatResolvesOutsideItsDirectoryIsRefused) {
  TempDir home;
  const fs::path dir = home / ".nimbletrace";
  const fs::path other_dir = home / "other" / ".nimbletrace";
  fs::create_directories(dir / "sub");
  fs::create_directories(other_dir);
  write_file(home / "secret", "secret: 1\n");
  write_file(other_dir / "config.yaml", "other: 1\n");
  write_file(dir / "sub" / "config.yaml", "nested: 1\n");

  struct Case {
    std::string name;
    std::function<void()> arrange;
    fs::path config_file;
    std::string contents;
  };
  const Case cases[] = {
      {"config.yaml is a link to a file named secret",
       [&] { fs::create_symlink(home / "secret", dir / "config.yaml"); }, dir / "config.yaml",
       "secret: 1\n"},
      {"config.yaml is a link to another .nimbletrace/config.yaml",
       [&] { fs::create_symlink(other_dir / "config.yaml", dir / "config.yaml"); },
       dir / "config.yaml", "other: 1\n"},
      {"the file path climbs out with ..", [] {},
       dir / ".." / "other" / ".nimbletrace" / "config.yaml", "other: 1\n"},
      {"config.yaml one level too deep", [] {}, dir / "sub" / "config.yaml", "nested: 1\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(dir / "config.yaml");
    c.arrange();
    EXPECT_EQ(exchange(start_core_line(dir, c.config_file, sha256_of(c.contents))),
              PATH_RULE_REFUSED);
    expect_nothing_done();
  }
}

// Files that are not regular files must not be read: a FIFO would block the
// single-threaded service for good, a device like /dev/zero never ends.
TEST_F(SecurityTest, SpecialFileAsConfigurationIsRefusedWithoutBlocking) {
  TempDir home;
  const fs::path dir = home / ".nimbletrace";
  const fs::path file = dir / "config.yaml";
  fs::create_directories(dir);

  struct Case {
    std::string name;
    std::function<bool()> arrange;
  };
  const Case cases[] = {
      {"FIFO", [&] { return ::mkfifo(file.c_str(), 0666) == 0; }},
      {"character device like /dev/zero",
       [&] { return ::mknod(file.c_str(), S_IFCHR | 0666, makedev(1, 5)) == 0; }},
      {"directory", [&] { return fs::create_directory(file); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(file);
    if (!c.arrange()) {
      std::printf("cannot create a %s here, case skipped\n", c.name.c_str());
      continue;
    }
    const std::string answer = exchange(start_core_line(dir, file, std::string(64, '0')));
    EXPECT_TRUE(answer.starts_with(R"({"ok":false,"message":"读取 macOS 服务核心配置失败: )"))
        << answer;
    EXPECT_TRUE(answer.ends_with(UNAVAILABLE_END)) << answer;
    expect_nothing_done();
  }
}

TEST_F(SecurityTest, HardLinkToARootOnlyFileWithAWrongDigestRevealsNothing) {
  // A legitimate start first, so there is a staged configuration to protect.
  CoreConfig legit("legit: 1\n");
  ASSERT_EQ(exchange(legit.start_line()), STARTED);
  const auto runtime_before = snapshot(sandbox_paths().runtime_dir);

  TempDir home;
  const std::string secret = "root-only-secret-4b1d\n";
  const fs::path target = home / "shadow";
  write_file(target, secret);
  fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write);
  const fs::path dir = home / ".nimbletrace";
  fs::create_directories(dir);
  fs::create_hard_link(target, dir / "config.yaml");

  for (const std::string& digest : {sha256_of("legit: 1\n"), std::string(), std::string(64, 'f')}) {
    SCOPED_TRACE("claimed digest '" + digest + "'");
    const std::string answer = exchange(start_core_line(dir, dir / "config.yaml", digest));
    EXPECT_EQ(answer, DIGEST_REFUSED);
    EXPECT_EQ(answer.find("root-only-secret"), std::string::npos);
    EXPECT_EQ(snapshot(sandbox_paths().runtime_dir), runtime_before);
  }
  EXPECT_EQ(read_file(target), secret) << "the client's file is only read";
  EXPECT_EQ(mode_of(target) & 07777, 0600u);
  EXPECT_EQ(running_cores().size(), 1u);
}

// Someone could create files in a runtime directory left world-writable, and
// keep them open. After a start the directory is owner-only, the staged copy
// is a fresh owner-only file, and descriptors held on the planted files never
// see the configuration.
TEST_F(SecurityTest, LooseRuntimeDirectoryIsTightenedAndPlantedFilesSeeNothing) {
  const SandboxPaths p = sandbox_paths();
  fs::create_directories(p.runtime_dir);
  ASSERT_EQ(::chmod(p.runtime_dir.c_str(), 0777), 0);
  write_file(p.runtime_dir / "config.yaml.tmp", "planted\n");
  write_file(p.runtime_dir / "config.yaml", "old\n");
  ASSERT_EQ(::chmod((p.runtime_dir / "config.yaml.tmp").c_str(), 0666), 0);
  ASSERT_EQ(::chmod((p.runtime_dir / "config.yaml").c_str(), 0666), 0);
  UniqueFd held_tmp(::open((p.runtime_dir / "config.yaml.tmp").c_str(), O_RDONLY | O_CLOEXEC));
  UniqueFd held_staged(::open((p.runtime_dir / "config.yaml").c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(held_tmp.valid() && held_staged.valid());

  CoreConfig config("listen: 127.0.0.1\nsecret-token: 9f2c\n");
  ASSERT_EQ(exchange(config.start_line()), STARTED);

  EXPECT_EQ(mode_of(p.runtime_dir), S_IFDIR | 0700u);
  EXPECT_EQ(mode_of(p.runtime_dir / "config.yaml"), S_IFREG | 0600u);
  EXPECT_EQ(read_file(p.runtime_dir / "config.yaml"), "listen: 127.0.0.1\nsecret-token: 9f2c\n");
  EXPECT_FALSE(fs::exists(fs::symlink_status(p.runtime_dir / "config.yaml.tmp")));
  for (const auto& [fd, before] :
       {std::pair{held_tmp.get(), "planted\n"}, {held_staged.get(), "old\n"}}) {
    char buffer[256] = {};
    const ssize_t n = ::pread(fd, buffer, sizeof buffer, 0);
    EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0), before)
        << "a descriptor held on a planted file must not see the configuration";
  }
}

// A link planted at a staging path must not carry the service's write or chmod
// to a victim. Either the start fails with the staging message or the link is
// replaced by the staged file; which one happens is reported.
TEST_F(SecurityTest, LinksPlantedInTheRuntimeDirectoryAreNotFollowed) {
  const SandboxPaths p = sandbox_paths();
  TempDir outside;
  const fs::path victim = outside / "victim";
  const std::string victim_bytes = "victim: untouched\n";

  struct Case {
    std::string name;
    std::string planted;  // name inside the runtime directory
    bool hard_link;
  };
  const Case cases[] = {
      {"symbolic link at config.yaml.tmp", "config.yaml.tmp", false},
      {"hard link at config.yaml.tmp", "config.yaml.tmp", true},
      {"symbolic link at config.yaml", "config.yaml", false},
  };
  CoreConfig config("staged: 1\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(victim, victim_bytes);
    ASSERT_EQ(::chmod(victim.c_str(), 0644), 0);
    fs::remove_all(p.runtime_dir);
    fs::create_directories(p.runtime_dir);
    if (c.hard_link) {
      fs::create_hard_link(victim, p.runtime_dir / c.planted);
    } else {
      fs::create_symlink(victim, p.runtime_dir / c.planted);
    }

    const std::string answer = exchange(config.start_line());
    EXPECT_EQ(read_file(victim), victim_bytes);
    EXPECT_EQ(mode_of(victim), S_IFREG | 0644u);
    if (answer == STARTED || answer == KEPT) {
      std::printf("%s: link replaced, start succeeded\n", c.name.c_str());
      EXPECT_EQ(mode_of(p.runtime_dir / "config.yaml"), S_IFREG | 0600u);
      EXPECT_EQ(read_file(p.runtime_dir / "config.yaml"), "staged: 1\n");
    } else {
      std::printf("%s: start refused: %s", c.name.c_str(), answer.c_str());
      EXPECT_TRUE(answer.starts_with(R"({"ok":false,"message":"写入 macOS 服务核心临时配置失败: )"))
          << answer;
    }
  }
}

// Only someone who can write the service root can plant a link at runtime/,
// but even then neither the chmod nor the staged copy may follow it.
TEST_F(SecurityTest, LinkAtTheRuntimeDirectoryIsRefusedAndItsTargetUntouched) {
  TempDir target;
  ASSERT_EQ(::chmod(target.path().c_str(), 0755), 0);
  fs::create_directory_symlink(target.path(), sandbox_paths().runtime_dir);
  CoreConfig config;
  EXPECT_EQ(
      exchange(config.start_line()),
      response_line(false,
                    "创建 macOS 服务运行目录失败: Too many levels of symbolic links (os error 40)",
                    "Unavailable"));
  EXPECT_EQ(mode_of(target.path()), S_IFDIR | 0755u);
  EXPECT_TRUE(fs::is_empty(target.path()));
  EXPECT_TRUE(running_cores().empty());
}

TEST_F(SecurityTest, OnlyTheSocketIsWorldWritableInTheServiceRoot) {
  CoreConfig config;
  ASSERT_EQ(exchange(config.start_line()), STARTED);
  const SandboxPaths p = sandbox_paths();
  EXPECT_EQ(mode_of(p.socket), S_IFSOCK | 0666u);

  EXPECT_EQ(mode_of(p.service_root) & S_IWOTH, 0u);
  std::error_code ec;
  int checked = 0;
  for (auto it = fs::recursive_directory_iterator(p.service_root, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->path() == p.socket) continue;
    const mode_t mode = mode_of(it->path());
    ++checked;
    EXPECT_FALSE(S_ISLNK(mode)) << it->path();
    EXPECT_EQ(mode & S_IWOTH, 0u) << it->path() << " is world-writable";
  }
  EXPECT_GE(checked, 3) << "authorized-client.path, runtime and the staged config at least";
  EXPECT_EQ(mode_of(p.runtime_dir) & 0077, 0u);
  EXPECT_EQ(mode_of(p.runtime_dir / "config.yaml") & 0077, 0u);
}

}  // namespace
}  // namespace nimbletrace_test
