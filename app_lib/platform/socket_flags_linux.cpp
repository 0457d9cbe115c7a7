#include <sys/socket.h>

#include "app_lib/platform/socket_flags.h"

// glibc 2.36 does not name it; Linux 6.16 and later know it
// (include/uapi/asm-generic/socket.h).
#ifndef SO_PASSRIGHTS
#define SO_PASSRIGHTS 83
#endif

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

// Both options live on the socket and are copied to every connection it
// accepts (net/unix/af_unix.c, unix_sock_inherit_flags; from Linux 6.16
// already at connect(), to the embryo that holds bytes written before
// accept()). Set before listen(), no connection can exist without them.
//
// SO_PASSCRED makes the kernel attach the writer (its thread group's struct
// pid, uid and gid) to every chunk sent to such a socket, and a stream read
// then never joins the bytes of two writers in one call ("Never glue
// messages from different writers", unix_stream_read_generic): each read has
// exactly one writer.
//
// SO_PASSRIGHTS off makes unix_stream_sendmsg fail with EPERM before a
// descriptor is queued, so no file can be in flight towards the service and
// none can be released in its thread. Kernels that know which option:
// docs/platform-calls.md.
void guard_unix_listener(int listen_fd) {
  const int on = 1;
  const int off = 0;
  ::setsockopt(listen_fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
  ::setsockopt(listen_fd, SOL_SOCKET, SO_PASSRIGHTS, &off, sizeof off);
}

bool refuses_descriptors(int socket_fd) {
  int value = 1;
  socklen_t length = sizeof value;
  // A kernel before 6.16 answers ENOPROTOOPT: it always passes descriptors.
  return ::getsockopt(socket_fd, SOL_SOCKET, SO_PASSRIGHTS, &value, &length) == 0 && value == 0;
}

}  // namespace app_lib::platform
