#include "app_lib/sys/directories.h"

#include <sys/stat.h>

#include <cerrno>

#include "app_lib/sys/sys_error.h"

namespace app_lib::sys {
namespace {

bool stands_as_directory(const std::filesystem::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

Result<void> make_directories(const std::filesystem::path& dir, mode_t mode) {
  if (dir.empty()) return {};
  if (::mkdir(dir.c_str(), mode) == 0) return {};
  const int error = errno;
  if (stands_as_directory(dir)) return {};
  // Only a missing parent is worth creating; anything else mkdir said is
  // the answer, since the component is not a directory either way.
  if (error != ENOENT) return fail(sys_error_text(error));
  const std::filesystem::path parent = dir.parent_path();
  if (parent.empty() || parent == dir) return fail(sys_error_text(error));
  if (auto made = make_directories(parent, mode); !made) return made;
  if (::mkdir(dir.c_str(), mode) == 0) return {};
  const int again = errno;
  if (stands_as_directory(dir)) return {};
  return fail(sys_error_text(again));
}

}  // namespace app_lib::sys
