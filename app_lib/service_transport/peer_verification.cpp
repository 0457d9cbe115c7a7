#include <string>
#include <string_view>

#include "app_lib/platform/process_identity.h"
#include "app_lib/service_transport/transport.h"
#include "app_lib/sys/path_text.h"
#include "app_lib/sys/text.h"

namespace app_lib::service_transport {

// The socket file is open to every local user, so this check is the only gate
// in front of a privileged service. It is repeated in full for every
// connection: nothing learnt about one peer is trusted for the next.
Result<void> ServiceTransportStream::validate_client_executable(
    const std::filesystem::path& authorized_client, bool authorized_is_canonical) const {
  if (form_ == ServiceTransportForm::Tcp) return fail("macOS 高权限服务必须使用 Unix Socket");

  const auto peer = platform::identify_peer(fd_.get());
  if (!peer) return fail("无法识别 macOS ServiceRunner 客户端进程");
  const std::string pid_text = std::to_string(peer->pid());

  const auto raw_path = platform::peer_executable_path(*peer);
  if (!raw_path) return fail("无法读取 macOS 客户端进程路径(pid=" + pid_text + ")");

  const auto utf8 = sys::validate_utf8(*raw_path);
  if (!utf8) return fail("macOS 客户端进程路径不是有效 UTF-8: " + utf8.error());
  std::string_view client_path = *utf8;
  while (!client_path.empty() && client_path.back() == '\0') client_path.remove_suffix(1);

  // The kernel reports an executable by its resolved name, so the accepted
  // client usually shows exactly the authorized text that the caller resolved
  // moments ago in this connection: resolving the same string again would
  // only repeat that answer.
  if (authorized_is_canonical && authorized_client.native() == client_path) return {};
  const auto canonical_client = sys::canonicalize(std::filesystem::path(std::string(client_path)));
  if (!canonical_client) {
    return fail("解析 ServiceRunner 客户端路径失败: " + canonical_client.error());
  }
  // The accepted client usually reports exactly the authorized path; resolve
  // that text once rather than twice on every connection.
  const auto canonical_authorized = authorized_client.native() == client_path
                                        ? canonical_client
                                        : sys::canonicalize(authorized_client);
  if (!canonical_authorized) return fail("解析授权客户端路径失败: " + canonical_authorized.error());

  if (sys::same_components(*canonical_client, *canonical_authorized)) return {};
  return fail("拒绝未授权的 macOS ServiceRunner 客户端(pid=" + pid_text +
              ", path=" + sys::path_text(*canonical_client) + ")");
}

}  // namespace app_lib::service_transport
