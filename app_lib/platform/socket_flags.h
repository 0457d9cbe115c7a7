#pragma once

namespace app_lib::platform {

// Makes writes on the socket fail with EPIPE instead of raising SIGPIPE where
// the platform offers a socket option for it (SO_NOSIGPIPE); a no-op elsewhere.
void suppress_sigpipe(int socket_fd);

// Flags for send(2) that keep a write to a closed peer from raising SIGPIPE
// (MSG_NOSIGNAL where it exists, 0 elsewhere).
int no_sigpipe_send_flags();

// socket(2) whose descriptor is close-on-exec, atomically where the platform
// can (SOCK_CLOEXEC). -1 with errno set on failure.
int open_cloexec_socket(int domain, int type, int protocol);

// accept(2) on a listener, discarding the peer address. The new descriptor is
// close-on-exec and non-blocking whatever the listener's mode: the server's
// reads and writes never sleep inside a system call, they wait in poll(2)
// for the exchange's deadline instead. -1 with errno set on failure; EINTR is
// left to the caller.
int accept_nonblocking_cloexec(int listen_fd);

}  // namespace app_lib::platform
