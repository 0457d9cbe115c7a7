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

// Set on a Unix-domain socket before it listens, so every connection it
// accepts inherits it: the kernel then records the writer of every chunk
// (Linux SO_PASSCRED) and refuses descriptors sent over the connection
// (SO_PASSRIGHTS off, Linux 6.16 and later). Best effort; where an option is
// unknown the connection falls back to what refuses_descriptors() tells.
void guard_unix_listener(int listen_fd);

// Whether the kernel refuses, at the sender's sendmsg, every descriptor sent
// over this connected Unix-domain socket, read back from the socket itself.
// False where the system has no such refusal (older Linux, macOS): then
// descriptors can be in flight towards the service.
bool refuses_descriptors(int socket_fd);

}  // namespace app_lib::platform
