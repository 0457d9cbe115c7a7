#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "app_lib/service_runner/core_launch.h"

#include "app_lib/platform/thread_credentials.h"
#include "app_lib/service_runner/core_child.h"
#include "app_lib/service_runner/service_runner.h"
#include "app_lib/sys/child_process.h"
#include "app_lib/sys/directories.h"
#include "app_lib/sys/fd.h"
#include "app_lib/sys/file_read.h"
#include "app_lib/sys/file_replace.h"
#include "app_lib/sys/message.h"
#include "app_lib/sys/path_text.h"
#include "app_lib/sys/sha256.h"
#include "app_lib/sys/sys_error.h"

namespace app_lib::service_runner {
namespace {

namespace fs = std::filesystem;
using service_ipc::ServiceRunnerCoreLaunchConfig;

bool follows_directory_rule(const fs::path& directory, const fs::path& file) {
  // Byte equality with an ASCII name implies the name is valid UTF-8.
  if (!directory.has_filename() || directory.filename().native() != ".nimbletrace") return false;
  if (!file.has_filename() || file.filename().native() != "config.yaml") return false;
  return file.has_parent_path() && sys::same_components(file.parent_path(), directory);
}

constexpr std::string_view kReadFailed = "读取 macOS 服务核心配置失败";
constexpr std::string_view kDirectoryFailed = "解析 macOS 服务核心配置目录失败";

// The path was resolved a moment ago; a symbolic link in any component now
// was swapped in since, and following it could lead anywhere. A FIFO or a
// device is refused: either could block the service or never end.
constexpr sys::FileReadOptions kConfigRead{
    .size_cap = SERVICE_CORE_CONFIG_SIZE_LIMIT, .no_links = true, .regular_only = true};

// config_sha256 must be exactly 64 bytes before trimming, so any surrounding
// white space already makes it too short after trimming: comparing the raw
// 64 bytes case-insensitively decides the same.
bool digest_matches(std::string_view claimed, std::string_view computed_lower_hex) {
  if (claimed.size() != 64 || computed_lower_hex.size() != 64) return false;
  for (std::size_t i = 0; i < claimed.size(); ++i) {
    char c = claimed[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != computed_lower_hex[i]) return false;
  }
  return true;
}

Result<void> write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(sys::last_sys_error_text());
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

constexpr char kStagingName[] = "config.yaml.tmp";
constexpr char kStagedName[] = "config.yaml";

// Creates `path` and its missing parents, then opens it as a directory. Every
// failure carries what the system call that failed said. A symbolic link at
// `path` is refused rather than followed: everything after this works
// relative to the descriptor, so the staged copy and the mode change land in
// the service's own directory and nowhere else.
Result<sys::UniqueFd> open_runtime_dir(const fs::path& path) {
  if (auto parents = sys::make_directories(path.parent_path(), sys::NEW_PARENT_DIRECTORY_MODE);
      !parents) {
    return fail(std::move(parents.error()));
  }
  // Owner-only from its first instant: a umask can only take bits away from
  // 0700, so nobody else ever gets a moment to plant a name inside.
  const int made = ::mkdir(path.c_str(), 0700) == 0 ? 0 : errno;
  sys::UniqueFd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (dir) return dir;
  int error = errno;
  if (made != 0) {
    // What stands there decides, not which error mkdir gave for it. Both
    // systems check O_DIRECTORY before O_NOFOLLOW (Linux fs/namei.c do_open;
    // XNU bsd/vfs/vfs_subr.c vn_authorize_open_existing), so a link reads
    // "Not a directory" too: say what each refusal really is, a link that is not
    // followed, or mkdir's "File exists"; with nothing there, mkdir's own
    // failure is the cause.
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
      error = made;
    } else if (S_ISLNK(st.st_mode)) {
      error = ELOOP;
    } else if (!S_ISDIR(st.st_mode)) {
      error = EEXIST;
    }
  }
  return fail(sys::sys_error_text(error));
}

Result<void> write_staging_file(int dir_fd, std::string_view bytes) {
  // A fresh inode created owner-only: nobody can hold the staged copy open
  // from an earlier run, and it is never readable by others, not even before
  // the final chmod.
  if (::unlinkat(dir_fd, kStagingName, 0) != 0 && errno != ENOENT) {
    return fail(sys::last_sys_error_text());
  }
  sys::UniqueFd fd(
      ::openat(dir_fd, kStagingName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) return fail(sys::last_sys_error_text());
  if (auto written = write_all(fd.get(), bytes); !written) return written;
  if (::close(fd.release()) != 0) return fail(sys::last_sys_error_text());
  return {};
}

Result<void> stage_config(const fs::path& runtime_dir, std::string_view bytes) {
  auto dir = open_runtime_dir(runtime_dir);
  if (!dir) return fail(sys::with_cause("创建 macOS 服务运行目录失败", dir.error()));
  if (::fchmod(dir->get(), 0700) != 0) {
    return fail(sys::with_cause("设置 macOS 服务运行目录权限失败", sys::last_sys_error_text()));
  }
  if (auto written = write_staging_file(dir->get(), bytes); !written) {
    return fail(sys::with_cause("写入 macOS 服务核心临时配置失败", written.error()));
  }
  if (auto committed = sys::replace_file_at(dir->get(), kStagingName, kStagedName); !committed) {
    return fail(sys::with_cause("提交 macOS 服务核心配置失败", committed.error()));
  }
  // Only the service can write the 0700 directory, so the name still holds
  // the file just renamed there.
  if (::fchmodat(dir->get(), kStagedName, 0600, 0) != 0) {
    return fail(sys::with_cause("设置 macOS 服务核心配置权限失败", sys::last_sys_error_text()));
  }
  return {};
}

}  // namespace

std::string config_read_failure(ConfigReadStep step, std::string_view cause) {
  switch (step) {
    case ConfigReadStep::Directory:
      return sys::with_cause(kDirectoryFailed, cause);
    case ConfigReadStep::File:
      return sys::with_cause("解析 macOS 服务核心配置文件失败", cause);
    case ConfigReadStep::Contents:
      break;
  }
  return sys::with_cause(kReadFailed, cause);
}

Result<void> check_core_installed() {
  const fs::path& core = ServiceRunner::macos_core_binary_path();
  if (!sys::exists_following_links(core)) {
    return fail(sys::with_cause("未找到 macOS 服务模式核心程序", sys::path_text(core)));
  }
  return {};
}

Result<std::string> read_verified_config(const ServiceRunnerCoreLaunchConfig& config,
                                         std::atomic<ConfigReadStep>& step) {
  // Resolved on the requester's behalf by a thread of the service, whose own
  // /proc entries the requester must not be able to probe this way.
  step = ConfigReadStep::Directory;
  auto directory = sys::canonicalize_outside_proc(fs::path(config.config_dir));
  if (!directory) return fail(config_read_failure(step, directory.error()));
  step = ConfigReadStep::File;
  auto file = sys::canonicalize_outside_proc(fs::path(config.config_file));
  if (!file) return fail(config_read_failure(step, file.error()));
  if (!follows_directory_rule(*directory, *file)) {
    return fail("拒绝不符合应用运行目录规则的 macOS 服务核心配置路径");
  }
  if (config.controller_host != "127.0.0.1" || config.controller_port == 0) {
    return fail("拒绝非本机或无效的 macOS 服务核心控制端点");
  }
  step = ConfigReadStep::Contents;
  auto opened = sys::open_file_for_reading(*file, kConfigRead);
  if (!opened) return fail(config_read_failure(step, opened.error().text()));
  auto bytes = sys::read_whole_open_file(*opened, kConfigRead);
  if (!bytes) return fail(config_read_failure(step, bytes.error().text()));

  static constexpr std::string_view kDigestRefused = "拒绝哈希不匹配的 macOS 服务核心配置";
  // A digest that cannot be computed cannot vouch for the file either.
  if (config.config_sha256.size() != 64) return fail(std::string(kDigestRefused));
  auto digest = sys::sha256_hex(*bytes);
  if (!digest || !digest_matches(config.config_sha256, *digest)) {
    return fail(std::string(kDigestRefused));
  }
  return std::move(*bytes);
}

Result<std::string> launch_core_with(const ServiceRunnerCoreLaunchConfig& config,
                                     std::string_view bytes) {
  const fs::path& core = ServiceRunner::macos_core_binary_path();
  const fs::path runtime_dir = ServiceRunner::macos_runtime_dir();
  if (auto staged = stage_config(runtime_dir, bytes); !staged) return fail(staged.error());

  auto outcome = SERVICE_CORE_CHILD().with_lock(
      [&](std::optional<ServiceCoreChildState>& slot) -> Result<std::string> {
        if (slot) {
          ServiceCoreChildState previous = std::move(*slot);
          slot.reset();
          auto exited = previous.child.try_wait();
          if (exited && !*exited && previous.controller_host == config.controller_host &&
              previous.controller_port == config.controller_port) {
            slot = std::move(previous);
            return std::string("macOS 服务核心已在运行");
          }
          // Failures are ignored: the old core is discarded either way.
          (void)previous.child.kill();
          (void)previous.child.wait();
        }
        auto child = sys::ChildProcess::spawn(core, {"-d", runtime_dir.native()});
        if (!child) return fail(sys::with_cause("macOS 服务模式拉起核心失败", child.error()));
        slot.emplace(ServiceCoreChildState{config.controller_host, std::move(*child),
                                           config.controller_port});
        return std::string("macOS launchd 服务核心启动请求已发送");
      });
  if (!outcome) return fail(std::move(outcome.error()));
  return std::move(*outcome);
}

// With a requester the client's names are resolved and the file read with
// that peer's rights, so the service opens nothing the peer could not open
// itself, and a path the peer cannot see fails as it would for the peer.
// That happens on a thread of its own: the calling thread never takes on a
// client's rights.
Result<std::string> ServiceRunner::service_start_core_process(
    const ServiceRunnerCoreLaunchConfig& config,
    const std::optional<platform::PeerCredentials>& requester) {
  if (auto installed = check_core_installed(); !installed) return fail(installed.error());
  std::atomic<ConfigReadStep> step{ConfigReadStep::Directory};
  auto bytes = [&]() -> Result<std::string> {
    if (!requester) return read_verified_config(config, step);
    auto outcome = platform::with_peer_credentials(
        *requester, [&config, &step] { return read_verified_config(config, step); });
    if (!outcome) return fail(config_read_failure(ConfigReadStep::Directory, outcome.error()));
    return std::move(*outcome);
  }();
  if (!bytes) return fail(std::move(bytes.error()));
  return launch_core_with(config, *bytes);
}

}  // namespace app_lib::service_runner
