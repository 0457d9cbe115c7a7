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

}  // namespace app_lib::sys
