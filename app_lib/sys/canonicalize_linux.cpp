#include <fcntl.h>
#include <limits.h>
#include <linux/magic.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <optional>
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

// The name the kernel gives what `fd` refers to: the path it was resolved
// to, links and dots gone. nullopt without /proc, or where the kernel cannot
// show it as a plain path (unlinked meanwhile, outside our root).
std::optional<std::string> kernel_name(int fd) {
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer || buffer[0] != '/') {
    return std::nullopt;
  }
  std::string resolved(buffer, static_cast<std::size_t>(n));
  if (resolved.ends_with(" (deleted)")) return std::nullopt;
  return resolved;
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
  auto resolved = kernel_name(fd.get());
  if (!resolved) return canonicalize_with_realpath(path, identity);
  if (auto known = identify(fd.get(), identity); !known) return fail(std::move(known.error()));
  return std::filesystem::path(std::move(*resolved));
}

// One openat2 call, through interruptions: the descriptor, or -1 with errno.
long open_how_retrying(int dir_fd, const char* name, std::uint64_t resolve) {
  open_how how{};
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = resolve;
  for (;;) {
    const long fd = ::syscall(SYS_openat2, dir_fd, name, &how, sizeof how);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

// Whether `fd` refers to a file of a procfs instance, wherever that is
// mounted; a file whose file system cannot be told counts as one.
bool on_proc(int fd) {
  struct statfs fs {};
  if (::fstatfs(fd, &fs) != 0) return true;
  return fs.f_type == PROC_SUPER_MAGIC;
}

// The components a walk of `text` looks up in turn; a trailing slash asks
// for a directory, as a trailing "." does.
std::deque<std::string> components_of(std::string_view text) {
  std::deque<std::string> parts;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = text.find('/', begin);
    if (end == std::string_view::npos) end = text.size();
    if (end > begin) parts.emplace_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
  if (!parts.empty() && text.back() == '/') parts.emplace_back(".");
  return parts;
}

// One component looked up in `dir` without following it: ELOOP when it is a
// symbolic link. EACCES when it is on procfs.
std::expected<UniqueFd, int> step(int dir, const std::string& part) {
  long fd = open_how_retrying(dir, part.c_str(), RESOLVE_NO_SYMLINKS | RESOLVE_NO_XDEV);
  // Only a step onto another mount can lead onto procfs.
  const bool crossed = fd < 0 && errno == EXDEV;
  if (crossed) fd = open_how_retrying(dir, part.c_str(), RESOLVE_NO_SYMLINKS);
  if (fd < 0 && errno == ENOSYS) {
    // Before Linux 5.6: no openat2, so every step is looked at.
    fd = ::openat(dir, part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return std::unexpected(errno);
    UniqueFd opened(static_cast<int>(fd));
    struct stat st {};
    if (::fstat(opened.get(), &st) != 0) return std::unexpected(errno);
    if (S_ISLNK(st.st_mode)) return std::unexpected(ELOOP);
    if (on_proc(opened.get())) return std::unexpected(EACCES);
    return opened;
  }
  if (fd < 0) return std::unexpected(errno);
  UniqueFd opened(static_cast<int>(fd));
  if (crossed && on_proc(opened.get())) return std::unexpected(EACCES);
  return opened;
}

// The walk of the kernel (fs/namei.c, link_path_walk), one component at a
// time so that every file system it enters is seen before anything is
// looked up in it. Symbolic links are read and their text walked in place,
// up to the kernel's limit (MAXSYMLINKS, 40); a magic link cannot be met,
// since those all live on procfs.
std::expected<UniqueFd, int> walk_outside_proc(std::string_view text) {
  constexpr int LINK_LIMIT = 40;
  std::deque<std::string> rest = components_of(text);
  const auto start = [](bool absolute) -> std::expected<UniqueFd, int> {
    UniqueFd dir(::open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return std::unexpected(errno);
    if (on_proc(dir.get())) return std::unexpected(EACCES);
    return dir;
  };
  auto at = start(text.front() == '/');
  if (!at) return at;
  int links = 0;
  while (!rest.empty()) {
    const std::string part = std::move(rest.front());
    rest.pop_front();
    auto next = step(at->get(), part);
    if (next) {
      at = std::move(next);
      continue;
    }
    if (next.error() != ELOOP) return next;
    std::array<char, PATH_MAX> target{};
    const ssize_t n = ::readlinkat(at->get(), part.c_str(), target.data(), target.size());
    // Not a link after all: replaced since the step looked.
    if (n < 0) return std::unexpected(errno == EINVAL ? ELOOP : errno);
    if (static_cast<std::size_t>(n) >= target.size()) return std::unexpected(ENAMETOOLONG);
    if (n == 0) return std::unexpected(ENOENT);
    if (++links > LINK_LIMIT) return std::unexpected(ELOOP);
    const std::string_view body(target.data(), static_cast<std::size_t>(n));
    std::deque<std::string> expanded = components_of(body);
    rest.insert(rest.begin(), expanded.begin(), expanded.end());
    if (body.front() == '/') {
      at = start(true);
      if (!at) return at;
    }
  }
  return at;
}

// Whether the root directory lives on procfs; the service never changes
// its root, so this is asked once.
bool root_on_proc() {
  static const bool answer = [] {
    const UniqueFd root(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    return !root || on_proc(root.get());
  }();
  return answer;
}

}  // namespace

Result<std::filesystem::path> canonicalize(const std::filesystem::path& path) {
  return resolve(path, nullptr);
}

// The service's own /proc directory is open to each of its threads
// whatever rights the thread has taken on: ptrace_may_access lets a task at
// its own thread group without a check (kernel/ptrace.c, __ptrace_may_access,
// same_thread_group), and proc_fdinfo_permission asks nothing more
// (fs/proc/fd.c; fdinfo/ is 0555 on the 6.x kernels seen here). So
// /proc/<service>/fdinfo/N/x answers "Not a directory" where the service
// holds N and "No such file or directory" where it does not, and
// /proc/<service>/task/<tid>/../.. leads on only where the thread exists:
// /proc/self and /proc/thread-self lead there too, and so does any link or
// mount that leads to /proc. A walk that enters procfs anywhere is therefore
// refused with one answer before it looks up anything there. Most paths never
// leave the root's file system, and RESOLVE_NO_XDEV proves that in the one
// openat2 that resolves them (fs/namei.c, Linux 5.6 and later: EXDEV at any
// mount crossing, those of links and ".." included); only a path that
// crosses a mount is walked a component at a time.
Result<std::filesystem::path> canonicalize_outside_proc(const std::filesystem::path& path) {
  const std::string& text = path.native();
  if (text.find('\0') != std::string::npos) return fail(sys_error_text(EINVAL));
  if (text.empty()) return fail(sys_error_text(ENOENT));
  const bool absolute = text.front() == '/';
  const bool fast = absolute && !root_on_proc();
  if (fast && looks_canonical(text)) {
    const long fd =
        open_how_retrying(AT_FDCWD, text.c_str(), RESOLVE_NO_SYMLINKS | RESOLVE_NO_XDEV);
    if (fd >= 0) {
      ::close(static_cast<int>(fd));
      return path;
    }
  }
  std::expected<UniqueFd, int> opened = std::unexpected(EXDEV);
  if (fast) {
    const long fd =
        open_how_retrying(AT_FDCWD, text.c_str(), RESOLVE_NO_MAGICLINKS | RESOLVE_NO_XDEV);
    if (fd >= 0) {
      opened = UniqueFd(static_cast<int>(fd));
    } else {
      opened = std::unexpected(errno);
    }
  }
  // A failure other than a mount crossing came before the walk left the
  // root's file system, and is the walk's own answer.
  if (!opened && (opened.error() == EXDEV || opened.error() == ENOSYS)) {
    opened = walk_outside_proc(text);
  }
  if (!opened) return fail(sys_error_text(opened.error()));
  // No second walk by name where the kernel cannot name the result: that
  // walk would not be this one.
  auto resolved = kernel_name(opened->get());
  if (!resolved) return fail(sys_error_text(ENOENT));
  return std::filesystem::path(std::move(*resolved));
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
