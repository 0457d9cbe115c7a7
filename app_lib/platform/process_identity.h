#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app_lib/sys/fd.h"
#include "app_lib/sys/file_identity.h"
#include "app_lib/sys/result.h"

namespace app_lib::platform {

// Size of the buffer the executable path of a peer is read into.
inline constexpr std::size_t PEER_PATH_BUFFER_SIZE = 4096;

using sys::FileIdentity;

// Who the peer is for file access, from the same kernel record that names its
// process (SO_PEERCRED and SO_PEERGROUPS on Linux, the audit token on macOS),
// so the service can act on files with exactly the rights the peer has.
struct PeerCredentials {
  uid_t uid = 0;
  gid_t gid = 0;
  // Supplementary groups; empty where the platform does not report them.
  std::vector<gid_t> groups;
};

// The process at the other end of a connected Unix-domain socket, pinned as far
// as the platform allows: on Linux a pidfd (SO_PEERPIDFD, or pidfd_open of its
// id as the check begins, where the kernel has either), on macOS the audit
// token (LOCAL_PEERTOKEN). A pinned peer cannot be
// confused with a later process that was given the same process id. Move-only.
class PeerProcess {
 public:
  // Pinned by a pidfd, or by nothing when `pidfd` is empty.
  PeerProcess(pid_t pid, sys::UniqueFd pidfd, PeerCredentials credentials = {},
              std::optional<gid_t> connect_egid = std::nullopt)
      : pid_(pid),
        pidfd_(std::move(pidfd)),
        credentials_(std::move(credentials)),
        connect_egid_(connect_egid) {}
  // Pinned by the audit token; `socket_image` is the executable UUID the
  // kernel recorded for the socket (macOS LOCAL_PEERUUID), if known.
  PeerProcess(pid_t pid, const std::array<std::uint32_t, 8>& audit_token,
              PeerCredentials credentials = {},
              std::optional<std::array<std::uint8_t, 16>> socket_image = std::nullopt,
              std::optional<gid_t> connect_egid = std::nullopt)
      : pid_(pid),
        audit_token_(audit_token),
        credentials_(std::move(credentials)),
        socket_image_(socket_image),
        connect_egid_(connect_egid) {}

  // A peer whose process was already gone when it was identified: its id is
  // known, but nothing that now runs under that id may be taken for it.
  static PeerProcess gone(pid_t pid) {
    PeerProcess peer(pid, sys::UniqueFd{});
    peer.gone_ = true;
    return peer;
  }

  pid_t pid() const { return pid_; }
  int pidfd() const { return pidfd_.get(); }
  const std::optional<std::array<std::uint32_t, 8>>& audit_token() const { return audit_token_; }
  const PeerCredentials& credentials() const { return credentials_; }
  const std::optional<std::array<std::uint8_t, 16>>& socket_image() const { return socket_image_; }
  bool is_gone() const { return gone_; }
  // The effective group of the process that called connect(), as the kernel
  // took it at that moment; nullopt where it could not be read. Unlike
  // `credentials().gid` on macOS (the token's, as the process is now), no
  // later exec or setegid of the peer changes it.
  std::optional<gid_t> connect_egid() const { return connect_egid_; }

 private:
  pid_t pid_;
  sys::UniqueFd pidfd_;
  std::optional<std::array<std::uint32_t, 8>> audit_token_;
  PeerCredentials credentials_;
  std::optional<std::array<std::uint8_t, 16>> socket_image_;
  std::optional<gid_t> connect_egid_;
  bool gone_ = false;
};

// How firmly identify_peer pins the peer. The service always asks for the
// strongest; PidOnly exists so the weaker path, which older kernels take, can
// be exercised where the strong one is available.
enum class PeerPinning { Strongest, PidOnly };

// The peer of a connected Unix-domain socket; nullopt when it cannot be told
// or its process id is below 1. Its credentials come without groups (see
// peer_groups), except on the pid-only path of macOS, whose one record has them.
std::optional<PeerProcess> identify_peer(int socket_fd,
                                         PeerPinning pinning = PeerPinning::Strongest);

// What the peer process runs: the name the platform reports for it (the first
// n bytes of a zeroed PEER_PATH_BUFFER_SIZE buffer, n being the length it
// reported) and, where the kernel can tell it without asking the file system
// that holds the file, the identity of the file itself. The name is the
// client's to choose, and may lead through a file system that never answers
// (a FUSE mount of its own, a disk image, a network share), so nothing here
// looks it up.
struct PeerExecutable {
  std::string path;
  // Linux: the file behind /proc/PID/exe, from the kernel's own record.
  // nullopt only where the kernel reports the running image by name alone
  // (XNU: no call gives the device and inode of a process's main
  // executable without asking its file system); there the name is all
  // there is to compare.
  std::optional<FileIdentity> file;
  // True when the file the process runs has no link left (Linux: a link
  // count of 0, from the same look as `file`); the kernel then names it
  // "<path> (deleted)", a name anyone may plant. XNU does not name such an
  // image at all: peer_executable fails.
  bool deleted = false;
  // False when the platform can tell that the process now runs another image
  // than the one recorded for the connection, that is, it exec'd after using
  // the socket (macOS: LOCAL_PEERUUID against the executable UUID the process
  // runs now). Such a peer is refused whatever `path` and `file` say: the
  // bytes it sent were written by the program it was before.
  bool same_image_as_connection = true;
  // False when the process lives in another user namespace than the
  // service's (Linux). There it may hold every capability and make the
  // kernel name any file it can open as its executable, so the name and the
  // file above prove nothing; such a peer is refused.
  bool in_service_user_namespace = true;
};

// The supplementary groups the kernel recorded for the peer of `socket_fd`
// when it connected (Linux SO_PEERGROUPS, macOS LOCAL_PEERCRED), for acting
// with the rights of `who`, whom identify_peer returned for that socket.
// Empty where they cannot be told, which only ever takes rights away. Asked
// only by the requests that act with the peer's rights; most act on no file.
std::vector<gid_t> peer_groups(int socket_fd, const PeerCredentials& who);

// When peer_executable proves that what it read under the process id was the
// peer's. Linux reads it from /proc by id and proves it by finding the pinned
// process alive afterwards; a caller that reads the peer's request next may
// leave that to writer_after_read, whose look at the pin then covers both
// reads. macOS reads by the audit token and needs no second look.
enum class PeerConfirmation { AtOnce, ByWriterAfterRead };

// nullopt when the executable cannot be read, or when the process is gone or
// (confirmed at once) is no longer the one that connected.
std::optional<PeerExecutable> peer_executable(
    const PeerProcess& peer, PeerConfirmation confirmation = PeerConfirmation::AtOnce);

// Path of the running executable, not yet canonicalised. The error is the
// system error text alone.
Result<std::filesystem::path> current_executable_path();

}  // namespace app_lib::platform
