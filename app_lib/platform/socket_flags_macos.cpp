#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "app_lib/platform/socket_flags.h"
#include "app_lib/sys/fd.h"

namespace app_lib::platform {
namespace {

// Closes `fd` without disturbing the errno of the failure being reported.
int close_keeping_errno(int fd) {
  const int saved = errno;
  ::close(fd);
  errno = saved;
  return -1;
}

}  // namespace

void suppress_sigpipe(int socket_fd) {
  int one = 1;
  // Best effort: the service also ignores SIGPIPE process-wide, so a socket
  // that refuses the option still cannot end the process.
  ::setsockopt(socket_fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
}

// XNU has MSG_NOSIGNAL from xnu-7195 (bsd/sys/socket.h; sendit skips the
// SIGPIPE when SOF_NOSIGPIPE or MSG_NOSIGNAL is set), so both are used: the
// flag for what this code sends, the socket option for anything else.
int no_sigpipe_send_flags() {
  return MSG_NOSIGNAL;
}

int open_cloexec_socket(int domain, int type, int protocol) {
  // No SOCK_CLOEXEC here, so a spawn on another thread (the signal thread's
  // wake-up ping opens a socket too) could slip in between socket() and
  // fcntl(); the core is spawned with POSIX_SPAWN_CLOEXEC_DEFAULT, so even
  // then the descriptor does not reach it.
  const int fd = ::socket(domain, type, protocol);
  if (fd < 0) return -1;
  if (!sys::set_close_on_exec(fd)) return close_keeping_errno(fd);
  return fd;
}

int accept_nonblocking_cloexec(int listen_fd) {
  const int fd = ::accept(listen_fd, nullptr, nullptr);
  if (fd < 0) return -1;
  if (!sys::set_close_on_exec(fd)) return close_keeping_errno(fd);
  // The connection inherits the listener's O_NONBLOCK here (accept_nocancel,
  // bsd/kern/uipc_syscalls.c, copies the listener's file flags), but the server
  // relies on it, so it does not rely on inheritance: send(2) on macOS
  // ignores MSG_DONTWAIT (sosendcheck in XNU's bsd/kern/uipc_socket.c
  // returns EWOULDBLOCK only for SS_NBIO or the kernel-internal MSG_NBIO),
  // so only a non-blocking socket keeps one write from sleeping out a whole
  // SO_SNDTIMEO.
  if (!sys::set_nonblocking(fd)) return close_keeping_errno(fd);
  return fd;
}

// XNU has neither option: a local socket records only the last process that
// used each end (so_update_last_owner_locked), and always passes rights
// (uipc_send internalizes any SCM_RIGHTS). The connection's release takes
// care of what may be in flight instead.
void guard_unix_listener(int) {}

bool refuses_descriptors(int) {
  return false;
}

}  // namespace app_lib::platform
