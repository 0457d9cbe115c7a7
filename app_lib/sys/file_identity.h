#pragma once

#include <sys/stat.h>

#include <cstdint>

namespace app_lib::sys {

// Which file a path or a process names, independent of any name: two names
// of the same file (links, another mount namespace's view) compare equal, a
// copy or a file planted under the same name does not.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;

  static FileIdentity of(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
  }
  bool operator==(const FileIdentity&) const = default;
};

}  // namespace app_lib::sys
