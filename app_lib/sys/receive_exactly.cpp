#include "app_lib/sys/receive_exactly.h"

#include <sys/socket.h>

#include <cerrno>

namespace app_lib::sys {

int receive_exactly(int fd, char* buffer, std::size_t size) {
  std::size_t taken = 0;
  while (taken < size) {
    const ssize_t n = ::recv(fd, buffer + taken, size - taken, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EPROTO;
    taken += static_cast<std::size_t>(n);
  }
  return 0;
}

}  // namespace app_lib::sys
