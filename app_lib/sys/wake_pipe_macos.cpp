#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "app_lib/sys/sys_error.h"
#include "app_lib/sys/wake_pipe.h"

namespace app_lib::sys {

namespace {

// 0, or the errno of the failing fcntl.
int make_cloexec_nonblocking(int fd) {
  if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) return errno;
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return errno;
  return 0;
}

}  // namespace

// macOS has no pipe2, so close-on-exec is set right after pipe(2). The gap
// cannot leak the pipe into a core: the core is spawned with
// POSIX_SPAWN_CLOEXEC_DEFAULT, and the pipe is made before the loop serves.
Result<WakePipe> WakePipe::create() {
  int ends[2];
  if (::pipe(ends) != 0) return fail(last_sys_error_text());
  UniqueFd read_end(ends[0]);
  UniqueFd write_end(ends[1]);
  if (const int error = make_cloexec_nonblocking(read_end.get()); error != 0) {
    return fail(sys_error_text(error));
  }
  if (const int error = make_cloexec_nonblocking(write_end.get()); error != 0) {
    return fail(sys_error_text(error));
  }
  return WakePipe(std::move(read_end), std::move(write_end));
}

}  // namespace app_lib::sys
