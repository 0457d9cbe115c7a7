#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <optional>

#include "app_lib/platform/peer_writes.h"
#include "app_lib/sys/receive_exactly.h"

namespace app_lib::platform {
namespace {

// The pid of the SCM_CREDENTIALS message, in this process's pid namespace
// (0 for a writer it cannot see, or for bytes the kernel attached nobody to).
pid_t writer_of(msghdr& message) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
        c->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
      ucred credentials{};
      std::memcpy(&credentials, CMSG_DATA(c), sizeof credentials);
      return credentials.pid;
    }
  }
  return 0;
}

}  // namespace

std::expected<PeerChunk, int> receive_peer_chunk(int socket_fd, char* buffer, std::size_t size,
                                                 bool descriptors_possible) {
  // Room for the credentials and nothing else: any SCM_RIGHTS then shows as
  // MSG_CTRUNC instead of landing in this process.
  alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(ucred))> control{};
  iovec part{buffer, size};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control.data();
  message.msg_controllen = control.size();
  // Where descriptors may be in flight, only look first: a read that takes
  // the bytes they came with also releases them, here, in this thread
  // (unix_stream_read_generic detaches them, and scm_recv drops those that
  // do not fit). A peek only duplicates the references and drops the
  // duplicates, never the last one.
  const int flags = MSG_DONTWAIT | MSG_CMSG_CLOEXEC | (descriptors_possible ? MSG_PEEK : 0);
  ssize_t got = -1;
  do {
    got = ::recvmsg(socket_fd, &message, flags);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return std::unexpected(errno);
  PeerChunk chunk{static_cast<std::size_t>(got), writer_of(message), false};
  if ((message.msg_flags & MSG_CTRUNC) != 0) {
    chunk.descriptors = true;
    return chunk;
  }
  if (!descriptors_possible || got == 0) return chunk;
  // The peeked bytes carry no descriptor and are all of one writer; take
  // exactly those.
  if (const int error = sys::receive_exactly(socket_fd, buffer, chunk.size); error != 0) {
    return std::unexpected(error);
  }
  return chunk;
}

}  // namespace app_lib::platform
