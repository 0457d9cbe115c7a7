#include "app_lib/sys/path_text.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "app_lib/sys/sys_error.h"
#include "app_lib/sys/text.h"

namespace app_lib::sys {

std::string path_text(const std::filesystem::path& path) {
  return utf8_lossy(path.native());
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
  return identity_following_links(path).has_value();
}

std::optional<FileIdentity> identity_following_links(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileIdentity::of(st);
}

}  // namespace app_lib::sys
