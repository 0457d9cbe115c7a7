#include <sys/socket.h>

#include "app_lib/platform/socket_flags.h"

namespace app_lib::platform {

// Linux has no SO_NOSIGPIPE; every write passes MSG_NOSIGNAL instead.
void suppress_sigpipe(int) {}

int no_sigpipe_send_flags() {
  return MSG_NOSIGNAL;
}

int open_cloexec_socket(int domain, int type, int protocol) {
  return ::socket(domain, type | SOCK_CLOEXEC, protocol);
}

int accept_nonblocking_cloexec(int listen_fd) {
  // accept4 sets the new descriptor's flags from its own argument alone.
  return ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
}

}  // namespace app_lib::platform
