#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "app_lib/sys/fd.h"
#include "app_lib/sys/result.h"

namespace app_lib::platform {

// Size of the buffer the executable path of a peer is read into.
inline constexpr std::size_t PEER_PATH_BUFFER_SIZE = 4096;

// The process at the other end of a connected Unix-domain socket, pinned as far
// as the platform allows: on Linux a pidfd (SO_PEERPIDFD) where the kernel has
// one, on macOS the audit token (LOCAL_PEERTOKEN). A pinned peer cannot be
// confused with a later process that was given the same process id. Move-only.
class PeerProcess {
 public:
  // Pinned by a pidfd, or by nothing when `pidfd` is empty.
  PeerProcess(pid_t pid, sys::UniqueFd pidfd) : pid_(pid), pidfd_(std::move(pidfd)) {}
  PeerProcess(pid_t pid, const std::array<std::uint32_t, 8>& audit_token)
      : pid_(pid), audit_token_(audit_token) {}

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
  bool is_gone() const { return gone_; }

 private:
  pid_t pid_;
  sys::UniqueFd pidfd_;
  std::optional<std::array<std::uint32_t, 8>> audit_token_;
  bool gone_ = false;
};

// How firmly identify_peer pins the peer. The service always asks for the
// strongest; PidOnly exists so the weaker path, which older kernels take, can
// be exercised where the strong one is available.
enum class PeerPinning { Strongest, PidOnly };

// The peer of a connected Unix-domain socket; nullopt when it cannot be told
// or its process id is below 1.
std::optional<PeerProcess> identify_peer(int socket_fd,
                                         PeerPinning pinning = PeerPinning::Strongest);

// The first n bytes of a zeroed PEER_PATH_BUFFER_SIZE buffer after the platform
// wrote the peer's executable path into it, n being the length it reported.
// nullopt when the path cannot be read, or when the process is gone or is no
// longer the one that connected.
std::optional<std::string> peer_executable_path(const PeerProcess& peer);

// Path of the running executable, not yet canonicalised. The error is the
// system error text alone.
Result<std::filesystem::path> current_executable_path();

}  // namespace app_lib::platform
