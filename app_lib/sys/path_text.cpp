#include "app_lib/sys/path_text.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "app_lib/sys/sys_error.h"
#include "app_lib/sys/text.h"

namespace app_lib::sys {

std::string path_text(const std::filesystem::path& path) { return utf8_lossy(path.native()); }

Result<std::filesystem::path> canonicalize(const std::filesystem::path& path) {
  // realpath would read an embedded NUL as the end of the path and resolve
  // something else than what was asked for.
  if (path.native().find('\0') != std::string::npos) return fail(sys_error_text(EINVAL));
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                       &std::free);
  if (!resolved) return fail(last_sys_error_text());
  return std::filesystem::path(resolved.get());
}

bool same_components(const std::filesystem::path& a, const std::filesystem::path& b) {
  auto ia = a.begin();
  auto ib = b.begin();
  for (; ia != a.end() && ib != b.end(); ++ia, ++ib) {
    if (ia->native() != ib->native()) return false;
  }
  return ia == a.end() && ib == b.end();
}

bool exists_following_links(const std::filesystem::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace app_lib::sys
