#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "app_lib/sys/fd.h"
#include "app_lib/sys/path_text.h"
#include "app_lib/sys/sys_error.h"

namespace app_lib::sys {
namespace {

// Where the caller wants it, the identity of the file `fd` refers to.
Result<void> identify(int fd, FileIdentity* identity) {
  if (identity == nullptr) return {};
  struct stat st {};
  if (::fstat(fd, &st) != 0) return fail(last_sys_error_text());
  *identity = FileIdentity::of(st);
  return {};
}

Result<std::filesystem::path> canonicalize_with_realpath(const std::filesystem::path& path,
                                                         FileIdentity* identity) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                       &std::free);
  if (!resolved) return fail(last_sys_error_text());
  if (identity != nullptr) {
    struct stat st {};
    if (::stat(resolved.get(), &st) != 0) return fail(last_sys_error_text());
    *identity = FileIdentity::of(st);
  }
  return std::filesystem::path(resolved.get());
}

// An absolute path with no empty, "." or ".." component, no trailing slash.
bool looks_canonical(const std::string& text) {
  if (text.empty() || text[0] != '/') return false;
  if (text.size() == 1) return true;
  if (text.back() == '/') return false;
  std::size_t begin = 1;
  while (begin <= text.size()) {
    std::size_t end = text.find('/', begin);
    if (end == std::string::npos) end = text.size();
    const std::string_view part(text.data() + begin, end - begin);
    if (part.empty() || part == "." || part == "..") return false;
    begin = end + 1;
  }
  return true;
}

// An O_PATH descriptor when the kernel resolves `text` without meeting a
// single symbolic link: such a path is its own canonical form.
UniqueFd open_if_linkless(const std::string& text) {
  open_how how{};
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  const long fd = ::syscall(SYS_openat2, AT_FDCWD, text.c_str(), &how, sizeof how);
  return UniqueFd(fd < 0 ? -1 : static_cast<int>(fd));
}

// Follows symbolic links but never a /proc magic link (/proc/PID/cwd, root,
// fd/N, exe): those jump to wherever another process stands, which a
// requester could use to probe places it cannot name. A path through one
// fails with ELOOP, or with EACCES where the process is not the
// requester's to look at. Before Linux 5.6 (no openat2) every link is
// followed.
UniqueFd open_following_plain_links(const std::string& text) {
  open_how how{};
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = RESOLVE_NO_MAGICLINKS;
  for (;;) {
    const long fd = ::syscall(SYS_openat2, AT_FDCWD, text.c_str(), &how, sizeof how);
    if (fd >= 0) return UniqueFd(static_cast<int>(fd));
    if (errno == ENOSYS) break;
    if (errno != EINTR) return UniqueFd{};
  }
  return UniqueFd(::open(text.c_str(), O_PATH | O_CLOEXEC));
}

// realpath(3) asks the kernel about every component in turn, one path walk
// each. Opening the path once with O_PATH and reading back the name the kernel
// resolved it to gives the same canonical path in three calls; the service
// does this for every connection.
Result<std::filesystem::path> resolve(const std::filesystem::path& path, FileIdentity* identity) {
  // An embedded NUL would end the path early and resolve something else.
  if (path.native().find('\0') != std::string::npos) return fail(sys_error_text(EINVAL));
  // Most paths the service resolves are already canonical (the kernel's own
  // name for an executable, a path an installer wrote): one open proves it.
  if (looks_canonical(path.native())) {
    if (const UniqueFd fd = open_if_linkless(path.native())) {
      if (auto known = identify(fd.get(), identity); !known) return fail(std::move(known.error()));
      return path;
    }
  }
  const UniqueFd fd = open_following_plain_links(path.native());
  if (!fd) return fail(last_sys_error_text());
  const std::string link = "/proc/self/fd/" + std::to_string(fd.get());
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
  // Without /proc, or for a name the kernel cannot show as a plain path
  // (unlinked meanwhile, outside our root), let realpath decide.
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer || buffer[0] != '/') {
    return canonicalize_with_realpath(path, identity);
  }
  std::string resolved(buffer, static_cast<std::size_t>(n));
  if (resolved.ends_with(" (deleted)")) return canonicalize_with_realpath(path, identity);
  if (auto known = identify(fd.get(), identity); !known) return fail(std::move(known.error()));
  return std::filesystem::path(std::move(resolved));
}

}  // namespace

Result<std::filesystem::path> canonicalize(const std::filesystem::path& path) {
  return resolve(path, nullptr);
}

Result<CanonicalFile> canonicalize_file(const std::filesystem::path& path) {
  CanonicalFile out;
  auto canonical = resolve(path, &out.file);
  if (!canonical) return fail(std::move(canonical.error()));
  out.path = std::move(*canonical);
  return out;
}

std::expected<UniqueFd, int> open_without_links(const std::filesystem::path& canonical, int flags) {
  if (canonical.native().find('\0') != std::string::npos) return std::unexpected(EINVAL);
  open_how how{};
  how.flags = static_cast<std::uint64_t>(flags) | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  for (;;) {
    const long fd = ::syscall(SYS_openat2, AT_FDCWD, canonical.c_str(), &how, sizeof how);
    if (fd >= 0) return UniqueFd(static_cast<int>(fd));
    if (errno == ENOSYS) break;
    if (errno != EINTR) return std::unexpected(errno);
  }
  // Before Linux 5.6 only the last component can be kept from being a link.
  for (;;) {
    const int fd = ::open(canonical.c_str(), flags | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0) return UniqueFd(fd);
    if (errno != EINTR) return std::unexpected(errno);
  }
}

}  // namespace app_lib::sys
