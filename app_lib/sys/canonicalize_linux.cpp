#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>

#include "app_lib/sys/fd.h"
#include "app_lib/sys/path_text.h"
#include "app_lib/sys/sys_error.h"

namespace app_lib::sys {
namespace {

Result<std::filesystem::path> canonicalize_with_realpath(const std::filesystem::path& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                       &std::free);
  if (!resolved) return fail(last_sys_error_text());
  return std::filesystem::path(resolved.get());
}

}  // namespace

// realpath(3) asks the kernel about every component in turn, one path walk
// each. Opening the path once with O_PATH and reading back the name the kernel
// resolved it to gives the same canonical path in three calls; the service
// does this for every connection.
Result<std::filesystem::path> canonicalize(const std::filesystem::path& path) {
  // An embedded NUL would end the path early and resolve something else.
  if (path.native().find('\0') != std::string::npos) return fail(sys_error_text(EINVAL));
  const UniqueFd fd(::open(path.c_str(), O_PATH | O_CLOEXEC));
  if (!fd) return fail(last_sys_error_text());
  const std::string link = "/proc/self/fd/" + std::to_string(fd.get());
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
  // Without /proc, or for a name the kernel cannot show as a plain path
  // (unlinked meanwhile, outside our root), let realpath decide.
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer || buffer[0] != '/') {
    return canonicalize_with_realpath(path);
  }
  std::string resolved(buffer, static_cast<std::size_t>(n));
  if (resolved.ends_with(" (deleted)")) return canonicalize_with_realpath(path);
  return std::filesystem::path(std::move(resolved));
}

}  // namespace app_lib::sys
