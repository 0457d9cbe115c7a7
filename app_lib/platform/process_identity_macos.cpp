#include <bsm/libbsm.h>
#include <libproc.h>
#include <mach-o/dyld.h>
#include <mach/message.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "app_lib/platform/process_identity.h"
#include "app_lib/sys/sys_error.h"

namespace app_lib::platform {
namespace {

using TokenWords = std::array<std::uint32_t, 8>;
static_assert(sizeof(audit_token_t) == sizeof(TokenWords), "audit_token_t is eight 32-bit words");

std::optional<PeerProcess> identify_by_pid(int socket_fd) {
  pid_t pid = 0;
  socklen_t length = sizeof pid;
  if (::getsockopt(socket_fd, SOL_LOCAL, LOCAL_PEERPID, &pid, &length) != 0 || pid < 1) {
    return std::nullopt;
  }
  return PeerProcess(pid, sys::UniqueFd{});
}

int path_by_pid(pid_t pid, char* buffer) {
  return ::proc_pidpath(pid, buffer, static_cast<std::uint32_t>(PEER_PATH_BUFFER_SIZE));
}

}  // namespace

std::optional<PeerProcess> identify_peer(int socket_fd, PeerPinning pinning) {
  if (pinning == PeerPinning::PidOnly) return identify_by_pid(socket_fd);

  // The token is recorded when the peer connects. Unlike the bare process id
  // it also carries the id's generation, so a later lookup by token fails once
  // the peer has exec'd or exited and its id has been reused.
  audit_token_t token{};
  socklen_t length = sizeof token;
  if (::getsockopt(socket_fd, SOL_LOCAL, LOCAL_PEERTOKEN, &token, &length) == 0) {
    if (length != sizeof token) return std::nullopt;
    const pid_t pid = ::audit_token_to_pid(token);
    if (pid < 1) return std::nullopt;
    TokenWords words{};
    std::memcpy(words.data(), &token, sizeof token);
    return PeerProcess(pid, words);
  }
  // Only a system that does not know the option falls back to the bare id;
  // any other failure would fail the same way for LOCAL_PEERPID.
  if (errno == ENOPROTOOPT) return identify_by_pid(socket_fd);
  return std::nullopt;
}

std::optional<std::string> peer_executable_path(const PeerProcess& peer) {
  if (peer.is_gone()) return std::nullopt;
  std::array<char, PEER_PATH_BUFFER_SIZE> buffer{};
  int n = 0;
  if (const auto& words = peer.audit_token()) {
    if (__builtin_available(macOS 11.0, *)) {
      audit_token_t token{};
      std::memcpy(&token, words->data(), sizeof token);
      n = ::proc_pidpath_audittoken(&token, buffer.data(),
                                    static_cast<std::uint32_t>(buffer.size()));
    } else {
      // Before macOS 11 there is no lookup by token; the id is all there is.
      n = path_by_pid(peer.pid(), buffer.data());
    }
  } else {
    n = path_by_pid(peer.pid(), buffer.data());
  }
  if (n < 1) return std::nullopt;
  const auto length = std::min(static_cast<std::size_t>(n), buffer.size());
  return std::string(buffer.data(), length);
}

Result<std::filesystem::path> current_executable_path() {
  // The first call reports the size needed. The path can only be longer on a
  // second look if the image list changed in between, so ask a few times.
  std::uint32_t size = 0;
  ::_NSGetExecutablePath(nullptr, &size);
  std::vector<char> buffer(static_cast<std::size_t>(size) + 1, '\0');
  for (int attempt = 0; attempt < 3; ++attempt) {
    auto capacity = static_cast<std::uint32_t>(buffer.size());
    if (::_NSGetExecutablePath(buffer.data(), &capacity) == 0) {
      return std::filesystem::path(std::string(buffer.data()));
    }
    buffer.assign(static_cast<std::size_t>(capacity) + 1, '\0');
  }
  return fail(sys::sys_error_text(ENAMETOOLONG));
}

}  // namespace app_lib::platform
