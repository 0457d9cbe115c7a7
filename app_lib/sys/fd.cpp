#include "app_lib/sys/fd.h"

#include <fcntl.h>
#include <unistd.h>

namespace app_lib::sys {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) {
    // No retry on EINTR: the descriptor is released either way (close(2) on
    // Linux; XNU's close_nocancel frees the slot before it drops the file,
    // bsd/kern/kern_descrip.c), and a retry could close someone else's.
    ::close(fd_);
  }
  fd_ = fd;
}

bool set_close_on_exec(int fd) {
  return ::fcntl(fd, F_SETFD, FD_CLOEXEC) != -1;
}

bool set_nonblocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags == -1) return false;
  return (flags & O_NONBLOCK) != 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != -1;
}

}  // namespace app_lib::sys
