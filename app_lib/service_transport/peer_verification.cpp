#include <cerrno>
#include <optional>
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

// The name the kernel gives for what the peer runs, as text to compare.
Result<std::string_view> client_name_of(const platform::PeerExecutable& executable) {
  const auto utf8 = sys::validate_utf8(executable.path);
  if (!utf8) return fail(sys::with_cause("macOS 客户端进程路径不是有效 UTF-8", utf8.error()));
  std::string_view name = *utf8;
  while (!name.empty() && name.back() == '\0') name.remove_suffix(1);
  // A file with no link left is at no name, the authorized one included.
  // The kernel shows it as "<path> (deleted)", a name anyone may plant a
  // link at, so that name is not compared at all; the refusal is the one for
  // a client name that leads nowhere.
  if (executable.deleted) {
    return fail(sys::with_cause("解析 ServiceRunner 客户端路径失败", sys::sys_error_text(ENOENT)));
  }
  return name;
}

// The authorized client's name and file, to hold the client's against.
struct AuthorizedClient {
  std::filesystem::path name;
  sys::FileIdentity file;
};

// The name is the client's to choose, down to the file system it leads
// through: a FUSE mount, disk image or share of its own that never answers
// would hold this thread, and the whole service, in any call that looks it
// up. So only the authorized name, which only root can change, is looked
// up. When the kernel's name is the authorized text itself, one stat of
// that text gives the file; otherwise the authorized path is resolved, and
// the kernel's name must then equal what it resolves to.
Result<AuthorizedClient> authorized_client_for(std::string_view client_name,
                                               const std::filesystem::path& authorized_client) {
  if (client_name == authorized_client.native() &&
      client_name.find('\0') == std::string_view::npos) {
    if (auto file = sys::identity_following_links(authorized_client)) {
      return AuthorizedClient{authorized_client, *file};
    }
  }
  auto resolved = sys::canonicalize_file(authorized_client);
  if (!resolved) return fail(sys::with_cause("解析授权客户端路径失败", resolved.error()));
  return AuthorizedClient{std::move(resolved->path), resolved->file};
}

// Equal names are not enough where the kernel also tells the file: the
// name it gives for a process is text that can be made to match (a private
// mount over the client's directory), so the file the process runs must be
// the authorized file itself, reached under the authorized name; a hard
// link elsewhere has the wrong name and never gets here. Where the kernel
// tells the name alone (XNU), the name is the proof
// (process_identity_macos.cpp, peer_executable). A process that exec'd
// since it used the socket did not write what it sent as the program it
// runs now (macOS tells; Linux cannot, see the README).
bool runs_authorized_image(const platform::PeerExecutable& executable,
                           const sys::FileIdentity& authorized_file) {
  return executable.same_image_as_connection && executable.in_service_user_namespace &&
         (!executable.file || *executable.file == authorized_file);
}

}  // namespace

// The socket file is open to every local user, so this check is the only gate
// in front of a privileged service. It is repeated in full for every
// connection: nothing learnt about one peer is trusted for the next.
Result<pid_t> ServiceTransportStream::validate_client_executable(
    const std::filesystem::path& authorized_client, std::optional<gid_t> required_group) {
  if (form_ == ServiceTransportForm::Tcp) return fail("macOS 高权限服务必须使用 Unix Socket");

  auto peer = platform::identify_peer(fd_.get());
  if (!peer) return fail("无法识别 macOS ServiceRunner 客户端进程");

  // The read looks at the pin once more after it ends, whichever way, and
  // only it tells who the peer is (ConfirmedPeer); that one look proves what
  // was read here too.
  const auto executable =
      platform::peer_executable(*peer, platform::PeerConfirmation::ByWriterAfterRead);
  if (!executable) {
    return fail("无法读取 macOS 客户端进程路径(pid=" + std::to_string(peer->pid()) + ")");
  }
  const auto client_path = client_name_of(*executable);
  if (!client_path) return fail(client_path.error());

  const auto authorized = authorized_client_for(*client_path, authorized_client);
  if (!authorized) return fail(authorized.error());
  const std::filesystem::path client_name{std::string(*client_path)};
  if (!sys::same_components(client_name, authorized->name) ||
      !runs_authorized_image(*executable, authorized->file)) {
    return fail(unauthorized(peer->pid(), client_name));
  }

  // Everything above asks what the process runs now, which code of the
  // client's user can arrange after it wrote (exec) or while it writes
  // (ptrace, LD_PRELOAD). Its group at connect() is the kernel's own record
  // of who connected, and a group nobody holds is had only by exec'ing the
  // set-group-ID client without a tracer and without a preload, so a
  // connection made with it was made by the client itself.
  if (required_group && peer->connect_egid() != required_group) {
    return fail(unauthorized(peer->pid(), client_name));
  }
  return accept(std::move(*peer));
}

std::vector<gid_t> ServiceTransportStream::peer_groups(const ConfirmedPeer& peer) const {
  return platform::peer_groups(fd_.get(), peer.credentials());
}

pid_t ServiceTransportStream::accept(platform::PeerProcess peer) {
  verified_ = std::make_unique<platform::PeerProcess>(std::move(peer));
  return verified_->pid();
}

// Named as the check names a client: by the name the kernel gives for what
// it runs (empty when the writer is gone by now). The name is only shown,
// never looked up, for the reason the check gives.
std::string ServiceTransportStream::refusal_of_writer(pid_t writer) const {
  std::filesystem::path shown;
  if (writer > 0) {
    if (const auto executable =
            platform::peer_executable(platform::PeerProcess(writer, sys::UniqueFd{}))) {
      std::string_view name = executable->path;
      while (!name.empty() && name.back() == '\0') name.remove_suffix(1);
      shown = std::filesystem::path(std::string(name));
    }
  }
  return unauthorized(writer, shown);
}

}  // namespace app_lib::service_transport
