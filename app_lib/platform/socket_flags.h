#pragma once

namespace app_lib::platform {

// Makes writes on the socket fail with EPIPE instead of raising SIGPIPE where
// the platform offers a socket option for it (SO_NOSIGPIPE); a no-op elsewhere.
void suppress_sigpipe(int socket_fd);

// Flags for send(2) that keep a write to a closed peer from raising SIGPIPE
// (MSG_NOSIGNAL where it exists, 0 elsewhere).
int no_sigpipe_send_flags();

}  // namespace app_lib::platform
