#include "app_lib/sys/wake_pipe.h"

#include <unistd.h>

#include <cerrno>

namespace app_lib::sys {

void WakePipe::signal() const noexcept {
  const char byte = 1;
  // A full pipe (EAGAIN) is already readable, which is all a wake-up needs.
  while (::write(write_end_.get(), &byte, 1) < 0 && errno == EINTR) {
  }
}

void WakePipe::drain() const noexcept {
  char buffer[64];
  for (;;) {
    const ssize_t n = ::read(read_end_.get(), buffer, sizeof buffer);
    if (n > 0) continue;
    if (n < 0 && errno == EINTR) continue;
    return;  // empty (EAGAIN); the write end is never closed, so no end of file
  }
}

}  // namespace app_lib::sys
