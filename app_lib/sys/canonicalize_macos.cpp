#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>

#include "app_lib/sys/path_text.h"
#include "app_lib/sys/sys_error.h"

namespace app_lib::sys {

Result<std::filesystem::path> canonicalize(const std::filesystem::path& path) {
  // An embedded NUL would end the path early and resolve something else.
  if (path.native().find('\0') != std::string::npos) return fail(sys_error_text(EINVAL));
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                       &std::free);
  if (!resolved) return fail(last_sys_error_text());
  return std::filesystem::path(resolved.get());
}

// XNU has no procfs and no /proc to reach.
Result<std::filesystem::path> canonicalize_outside_proc(const std::filesystem::path& path) {
  return canonicalize(path);
}

// realpath(3) resolves by name and keeps no descriptor to ask, so the
// identity takes one stat of the canonical path.
Result<CanonicalFile> canonicalize_file(const std::filesystem::path& path) {
  auto canonical = canonicalize(path);
  if (!canonical) return fail(std::move(canonical.error()));
  struct stat st {};
  if (::stat(canonical->c_str(), &st) != 0) return fail(last_sys_error_text());
  return CanonicalFile{std::move(*canonical), FileIdentity::of(st)};
}

std::expected<UniqueFd, int> open_without_links(const std::filesystem::path& canonical, int flags) {
  if (canonical.native().find('\0') != std::string::npos) return std::unexpected(EINVAL);
  // O_NOFOLLOW_ANY ("no symlinks allowed in path", the SDK's sys/fcntl.h;
  // open(2): ELOOP) exists from macOS 11 (vn_open_auth, bsd/vfs/vfs_vnops.c,
  // from xnu-7195; EINVAL together with O_NOFOLLOW, which is never passed),
  // the oldest system this builds for; an older kernel would ignore the
  // unknown flag and follow links.
  for (;;) {
    const int fd = ::open(canonical.c_str(), flags | O_CLOEXEC | O_NOFOLLOW_ANY);
    if (fd >= 0) return UniqueFd(fd);
    if (errno != EINTR) return std::unexpected(errno);
  }
}

}  // namespace app_lib::sys
