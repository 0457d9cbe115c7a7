#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>

#include "app_lib/sys/file_replace.h"
#include "app_lib/sys/sys_error.h"

namespace app_lib::sys {

Result<void> replace_file(const std::filesystem::path& from, const std::filesystem::path& to) {
  // ext4 flushes a file renamed over another one to disk before rename returns
  // (auto_da_alloc), which costs milliseconds per megabyte. Swapping the two
  // names is just as atomic for readers of `to` and skips that flush; the old
  // file, now at `from`, is then removed.
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE) == 0) {
    if (::unlink(from.c_str()) == 0 || errno != EISDIR) return {};
    // A directory stood at `to`, which rename(2) refuses to replace; put it back.
    const int error = errno;
    (void)::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE);
    return fail(sys_error_text(error));
  }
  // ENOENT: nothing to replace yet; EINVAL: the file system cannot swap.
  if (::rename(from.c_str(), to.c_str()) != 0) return fail(last_sys_error_text());
  return {};
}

}  // namespace app_lib::sys
