#include <bsm/libbsm.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "app_lib/platform/peer_writes.h"
#include "app_lib/sys/receive_exactly.h"

// XNU keeps no writer per chunk: each end of a local socket records the last
// process that sent, received or polled on it (bsd/kern/uipc_socket.c,
// so_update_last_owner_locked, called by sosend, soreceive, sopoll and
// soo_kqfilter on the socket they act on; xnu-11417.101.15). The service's
// own reads therefore update the service's end only, while LOCAL_PEERTOKEN
// and LOCAL_PEERUUID read the record of the client's end (uipc_ctloutput:
// unp->unp_conn->unp_socket->last_pid and last_uuid). After the request has
// been read, that record must still name the verified process and image.
//
// That is all it proves: the record names the last process that touched the
// client's end, not the writer of any byte. A process that starts the
// authorized client with the connection as its standard input (any read,
// poll or kevent of the client's makes it the recorded owner), a binary
// carrying the client's LC_UUID that writes and then execs the client, and
// sendfile(2), which reaches pru_send without updating the record
// (bsd/kern/uipc_syscalls.c), all pass. XNU keeps no sender per message on
// local sockets; the README lists these under what is not guaranteed.

namespace app_lib::platform {

// Room to see that an SCM_RIGHTS is there; what it holds is never wanted.
constexpr std::size_t PEEKED_RIGHTS = 4;

std::expected<PeerChunk, int> receive_peer_chunk(int socket_fd, char* buffer, std::size_t size,
                                                 bool) {
  // XNU installs the descriptors of a record it reads into the reader's
  // table whether or not the reader asked for control data (soreceive_ctl
  // calls unp_externalize for every SCM_RIGHTS taken off the buffer), and
  // those that do not fit under RLIMIT_NOFILE are closed in the reading
  // thread (unp_externalize, EMSGSIZE). A peek with a control buffer instead
  // copies the control record with its descriptors zeroed and installs
  // nothing (soreceive_ctl -> sopeek_scm_rights, xnu-7195 to xnu-11417), and
  // a record's control always stands at its head, so a peek that shows none
  // covers bytes that carry none; exactly those are then taken. A stream
  // read never goes past the end of one record (soreceive), so the
  // descriptors of the next one stay where they are.
  alignas(cmsghdr) std::array<char, CMSG_SPACE(PEEKED_RIGHTS * sizeof(int))> control{};
  iovec part{buffer, size};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control.data();
  message.msg_controllen = static_cast<socklen_t>(control.size());
  ssize_t got = -1;
  do {
    got = ::recvmsg(socket_fd, &message, MSG_DONTWAIT | MSG_PEEK);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return std::unexpected(errno);
  PeerChunk chunk{static_cast<std::size_t>(got), std::nullopt, false};
  bool rights = (message.msg_flags & MSG_CTRUNC) != 0;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) rights = true;
  }
  if (rights) {
    chunk.size = 0;
    chunk.descriptors = true;
    return chunk;
  }
  if (const int error = sys::receive_exactly(socket_fd, buffer, chunk.size); error != 0) {
    return std::unexpected(error);
  }
  return chunk;
}

std::optional<pid_t> writer_after_read(int socket_fd, const PeerProcess& verified) {
  const auto& verified_token = verified.audit_token();
  // A peer known by its id alone (a kernel without LOCAL_PEERTOKEN) was
  // checked by LOCAL_PEERPID, which is last_pid itself: compare that.
  const auto now = identify_peer(socket_fd, verified_token ? PeerPinning::Strongest
                                                           : PeerPinning::PidOnly);
  if (!now || now->is_gone()) return now ? now->pid() : verified.pid();
  if (!verified_token) {
    if (now->pid() == verified.pid()) return std::nullopt;
    return now->pid();
  }
  const auto& token = now->audit_token();
  if (!token) return now->pid();
  audit_token_t before{};
  audit_token_t after{};
  std::memcpy(&before, verified_token->data(), sizeof before);
  std::memcpy(&after, token->data(), sizeof after);
  // The same process (id and id generation, which every exec renews) whose
  // recorded image is still the one verified.
  if (::audit_token_to_pid(after) == ::audit_token_to_pid(before) &&
      ::audit_token_to_pidversion(after) == ::audit_token_to_pidversion(before) &&
      now->socket_image() == verified.socket_image()) {
    return std::nullopt;
  }
  return now->pid();
}

}  // namespace app_lib::platform
