#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>

#include "app_lib/sys/file_replace.h"
#include "app_lib/sys/sys_error.h"

namespace app_lib::sys {

Result<void> replace_file_at(int dir_fd, const char* from, const char* to) {
  // ext4 flushes a file renamed over another one to disk before rename returns
  // (auto_da_alloc), which costs milliseconds per megabyte. Swapping the two
  // names is just as atomic for readers of `to` and skips that flush; the old
  // file, now at `from`, is then removed.
  if (::renameat2(dir_fd, from, dir_fd, to, RENAME_EXCHANGE) == 0) {
    if (::unlinkat(dir_fd, from, 0) == 0) return {};
    // The old entry cannot go (a directory stood at `to`, which rename(2)
    // refuses to replace; a file system that says no): swap back, so a
    // failure leaves both names as a failed rename would, the old file at
    // `to` and the new one at `from`.
    const int error = errno;
    (void)::renameat2(dir_fd, from, dir_fd, to, RENAME_EXCHANGE);
    return fail(sys_error_text(error));
  }
  // ENOENT: nothing to replace yet; EINVAL: the file system cannot swap.
  if (::renameat(dir_fd, from, dir_fd, to) != 0) return fail(last_sys_error_text());
  return {};
}

}  // namespace app_lib::sys
