#include "app_lib/sys/fd.h"

#include <unistd.h>

namespace app_lib::sys {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) {
    // No retry on EINTR: the descriptor is released either way on Linux and macOS.
    ::close(fd_);
  }
  fd_ = fd;
}

}  // namespace app_lib::sys
