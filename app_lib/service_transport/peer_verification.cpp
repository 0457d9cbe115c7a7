#include <string>
#include <string_view>

#include "app_lib/platform/process_identity.h"
#include "app_lib/service_transport/transport.h"
#include "app_lib/sys/message.h"
#include "app_lib/sys/path_text.h"
#include "app_lib/sys/sys_error.h"
#include "app_lib/sys/text.h"

namespace app_lib::service_transport {
namespace {

std::string unauthorized(pid_t pid, const std::filesystem::path& path) {
  return "拒绝未授权的 macOS ServiceRunner 客户端(pid=" + std::to_string(pid) +
         ", path=" + sys::path_text(path) + ")";
}

}  // namespace

// The socket file is open to every local user, so this check is the only gate
// in front of a privileged service. It is repeated in full for every
// connection: nothing learnt about one peer is trusted for the next.
Result<platform::PeerCredentials> ServiceTransportStream::validate_client_executable(
    const std::filesystem::path& authorized_client) {
  if (form_ == ServiceTransportForm::Tcp) return fail("macOS 高权限服务必须使用 Unix Socket");

  auto peer = platform::identify_peer(fd_.get());
  if (!peer) return fail("无法识别 macOS ServiceRunner 客户端进程");
  const std::string pid_text = std::to_string(peer->pid());

  // read_request looks at the pin once more after the read, whichever way it
  // ends, and nothing is done for the peer before then; that one look
  // proves what was read here too.
  const auto executable =
      platform::peer_executable(*peer, platform::PeerConfirmation::ByWriterAfterRead);
  if (!executable) return fail("无法读取 macOS 客户端进程路径(pid=" + pid_text + ")");

  const auto utf8 = sys::validate_utf8(executable->path);
  if (!utf8) return fail(sys::with_cause("macOS 客户端进程路径不是有效 UTF-8", utf8.error()));
  std::string_view client_path = *utf8;
  while (!client_path.empty() && client_path.back() == '\0') client_path.remove_suffix(1);

  // Equal names are not enough: the name the platform reports for a process
  // is text that can be made to match (a link planted where a deleted
  // executable was, a private mount over the client's directory). The file
  // the process runs must be the authorized file itself, and be reached under
  // the authorized name, so a hard link elsewhere does not count either.
  // A process that exec'd since it used the socket did not write what it sent
  // as the program it runs now (macOS tells; Linux cannot, see the README).
  const bool trusted_image = executable->same_image_as_connection &&
                             executable->in_service_user_namespace && executable->file;
  // When the name the kernel gives is the authorized text itself, the two
  // names agree whatever resolving them would give, and what is left to
  // prove is that the file the text leads to now is the one the process
  // runs: one stat instead of two resolutions. Anything else takes the full
  // path below, which also words every refusal.
  if (trusted_image && client_path == authorized_client.native() &&
      client_path.find('\0') == std::string_view::npos) {
    if (const auto named = sys::identity_following_links(authorized_client);
        named && *named == *executable->file) {
      return accept(std::move(*peer));
    }
  }

  const auto canonical_client =
      sys::canonicalize_file(std::filesystem::path(std::string(client_path)));
  if (!canonical_client) {
    return fail(sys::with_cause("解析 ServiceRunner 客户端路径失败", canonical_client.error()));
  }
  // The authorized text usually is the canonical one already; then resolving
  // it again would only repeat the answer just computed, file identity and all.
  const auto canonical_authorized = authorized_client.native() == canonical_client->path.native()
                                        ? canonical_client
                                        : sys::canonicalize_file(authorized_client);
  if (!canonical_authorized) {
    return fail(sys::with_cause("解析授权客户端路径失败", canonical_authorized.error()));
  }

  if (trusted_image && sys::same_components(canonical_client->path, canonical_authorized->path) &&
      *executable->file == canonical_authorized->file) {
    return accept(std::move(*peer));
  }
  return fail(unauthorized(peer->pid(), canonical_client->path));
}

std::vector<gid_t> ServiceTransportStream::verified_peer_groups() const {
  if (!verified_) return {};
  return platform::peer_groups(fd_.get(), verified_->credentials());
}

platform::PeerCredentials ServiceTransportStream::accept(platform::PeerProcess peer) {
  platform::PeerCredentials credentials = peer.credentials();
  verified_ = std::make_unique<platform::PeerProcess>(std::move(peer));
  return credentials;
}

// Named as the check names a client: by the canonical path of what it runs,
// or by the name the kernel gives when that cannot be resolved (the writer
// may be gone by now, then the path is empty). Nothing is looked up as the
// writer's rights; the name is only shown.
std::string ServiceTransportStream::refusal_of_writer(pid_t writer) const {
  std::filesystem::path shown;
  if (writer > 0) {
    if (const auto executable =
            platform::peer_executable(platform::PeerProcess(writer, sys::UniqueFd{}))) {
      std::string_view name = executable->path;
      while (!name.empty() && name.back() == '\0') name.remove_suffix(1);
      shown = std::filesystem::path(std::string(name));
      if (const auto canonical = sys::canonicalize_file(shown)) shown = canonical->path;
    }
  }
  return unauthorized(writer, shown);
}

}  // namespace app_lib::service_transport
