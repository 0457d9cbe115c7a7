#include <bsm/libbsm.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "app_lib/platform/peer_writes.h"
#include "app_lib/sys/throwaway_close.h"

// XNU keeps no writer per chunk: each end of a local socket records the last
// process that sent, received or polled on it (bsd/kern/uipc_socket.c,
// so_update_last_owner_locked, called by sosend, soreceive, sopoll and
// soo_kqfilter on the socket they act on; xnu-11417.101.15). The service's
// own reads therefore update the service's end only, while LOCAL_PEERTOKEN
// and LOCAL_PEERUUID read the record of the client's end (uipc_ctloutput:
// unp->unp_conn->unp_socket->last_pid and last_uuid). After the request has
// been read, that record must still name the verified process and image.

namespace app_lib::platform {
namespace {

// The most descriptors one SCM_RIGHTS message can carry
// (bsd/kern/uipc_usrreq.c, UIPC_MAX_CMSG_FD).
constexpr std::size_t MAX_RIGHTS = 512;

}  // namespace

std::expected<PeerChunk, int> receive_peer_chunk(int socket_fd, char* buffer, std::size_t size,
                                                 bool, std::vector<sys::UniqueFd>& received) {
  // XNU installs the descriptors of a record it reads into the reader's
  // table whether or not the reader asked for control data (soreceive_ctl
  // calls unp_externalize for every SCM_RIGHTS taken off the buffer, and
  // copyout_control drops what does not fit without closing it). So the
  // buffer has room for the largest message, and every descriptor that
  // arrives is kept, to be let go with the connection.
  alignas(cmsghdr) std::array<char, CMSG_SPACE(MAX_RIGHTS * sizeof(int))> control{};
  iovec part{buffer, size};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control.data();
  message.msg_controllen = static_cast<socklen_t>(control.size());
  ssize_t got = -1;
  do {
    got = ::recvmsg(socket_fd, &message, MSG_DONTWAIT);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return std::unexpected(errno);
  PeerChunk chunk{static_cast<std::size_t>(got), std::nullopt, false};
  if ((message.msg_flags & MSG_CTRUNC) != 0) chunk.descriptors = true;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    chunk.descriptors = true;
    const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (std::size_t i = 0; i < count; ++i) {
      int fd = -1;
      std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
      // Not made close-on-exec: they are let go before the next connection,
      // and the core is spawned with POSIX_SPAWN_CLOEXEC_DEFAULT anyway.
      if (fd >= 0) received.emplace_back(fd);
    }
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

// On XNU the last close of the service's end flushes its receive buffer
// (sofreelastref -> sorflush -> unp_dispose -> unp_discard -> fg_drop), and
// a descriptor whose last reference goes there is closed in the closing
// thread: a TCP socket with SO_LINGER sleeps in soclose_locked for up to
// its linger time (bsd/kern/uipc_socket.c, msleep "soclose"). shutdown
// (SHUT_RD) flushes the same way (soshutdownlock -> sorflush), and nothing
// tells without reading whether records with rights are queued (FIONREAD and
// SO_NREAD leave control data out), so every connection is let go by a
// throwaway process, a fork per exchange. unp_gc, which runs on a thread
// call (unp_gc_tcall), collects only rights that have become unreachable,
// not those a closing socket still holds, so it does not help.
void release_connection(sys::UniqueFd socket, std::vector<sys::UniqueFd> received) {
  received.push_back(std::move(socket));
  sys::close_in_throwaway_process(std::move(received));
}

}  // namespace app_lib::platform
