#include <bsm/libbsm.h>
#include <libproc.h>
#include <mach-o/dyld.h>
#include <mach/message.h>
#include <sys/socket.h>
#include <sys/ucred.h>
#include <sys/un.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "app_lib/platform/process_identity.h"
#include "app_lib/sys/sys_error.h"

// What the kernel answers for a connected local socket (XNU
// bsd/kern/uipc_usrreq.c, uipc_ctloutput):
//   LOCAL_PEERPID   the socket's last_pid: the process that last used the
//                   peer's end, not necessarily the one that connected;
//   LOCAL_PEERUUID  its last_uuid: the executable UUID of that process, taken
//                   when the socket last changed hands;
//   LOCAL_PEERTOKEN built when asked, from the process now running under
//                   last_pid, so it describes that process's current image;
//   LOCAL_PEERCRED  the only connect-time record: uid and groups, no process;
//   an option the kernel does not know fails with EOPNOTSUPP.
// last_pid and last_uuid change only when a different process (another pid or
// unique id) sends or receives on the socket (bsd/kern/uipc_socket.c,
// so_update_last_owner_locked); exec changes neither, so the recorded UUID
// still names the image that wrote the request after the writer exec'd.

namespace app_lib::platform {
namespace {

using TokenWords = std::array<std::uint32_t, 8>;
using ImageUuid = std::array<std::uint8_t, 16>;
static_assert(sizeof(audit_token_t) == sizeof(TokenWords), "audit_token_t is eight 32-bit words");

// proc_pidinfo flavor 17 is not in the SDK's headers; XNU declares it as
// private, in bsd/sys/proc_info.h up to xnu-8792 and in
// bsd/sys/proc_info_private.h from xnu-10002, and the kernel asserts its size
// equals crashinfo_proc_uniqidentifierinfo's (bsd/kern/kern_exit.c): 56 bytes.
// p_uuid is the UUID of the process's main executable as it runs now, and
// p_idversion the id generation, which every exec renews.
constexpr int PROC_PIDUNIQIDENTIFIERINFO_FLAVOR = 17;
struct ProcUniqueIdentifierInfo {
  std::uint8_t p_uuid[16];
  std::uint64_t p_uniqueid;
  std::uint64_t p_puniqueid;
  std::int32_t p_idversion;
  std::int32_t p_orig_ppidversion;
  std::uint64_t p_reserve2;
  std::uint64_t p_reserve3;
};
static_assert(sizeof(ProcUniqueIdentifierInfo) == 56);

std::optional<ProcUniqueIdentifierInfo> unique_identifiers(pid_t pid) {
  ProcUniqueIdentifierInfo info{};
  const int n = ::proc_pidinfo(pid, PROC_PIDUNIQIDENTIFIERINFO_FLAVOR, 0, &info, sizeof info);
  if (n != static_cast<int>(sizeof info)) return std::nullopt;
  return info;
}

// Only a kernel that does not know LOCAL_PEERTOKEN is answered by the bare id.
bool option_unknown(int error) {
  return error == EOPNOTSUPP || error == ENOPROTOOPT;
}

std::optional<pid_t> peer_pid(int socket_fd) {
  pid_t pid = 0;
  socklen_t length = sizeof pid;
  if (::getsockopt(socket_fd, SOL_LOCAL, LOCAL_PEERPID, &pid, &length) != 0 || pid < 1) {
    return std::nullopt;
  }
  return pid;
}

// The connect-time record (unp_connect copies the connecting thread's
// credential, at most NGROUPS groups, cr_groups[0] being its egid).
std::optional<xucred> connect_record(int socket_fd) {
  xucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(socket_fd, SOL_LOCAL, LOCAL_PEERCRED, &credentials, &length) != 0 ||
      credentials.cr_version != XUCRED_VERSION || credentials.cr_ngroups < 1) {
    return std::nullopt;
  }
  return credentials;
}

std::vector<gid_t> record_groups(const xucred& record) {
  const auto count = std::min<std::size_t>(static_cast<std::size_t>(record.cr_ngroups),
                                           std::size(record.cr_groups));
  return std::vector<gid_t>(record.cr_groups, record.cr_groups + count);
}

// cr_groups[0] of the connect-time record is the connecting thread's
// effective gid: cru2x copies the posix credential's group list as it is
// (bsd/kern/kern_prot.c), whose first entry is cr_gid (bsd/sys/ucred.h,
// "#define cr_gid cr_groups[0]"), taken in unp_connect from the thread's
// own credential, vfs_context_ucred (bsd/kern/uipc_usrreq.c; so from
// xnu-7195.81.3 to xnu-11417.121.6).
std::optional<gid_t> connect_egid_of(const std::optional<xucred>& record) {
  if (!record) return std::nullopt;
  return record->cr_groups[0];
}

std::optional<PeerProcess> identify_by_pid(int socket_fd) {
  const auto pid = peer_pid(socket_fd);
  if (!pid) return std::nullopt;
  const auto record = connect_record(socket_fd);
  // Nobody's rights: a request read with them can open nothing private.
  PeerCredentials credentials{static_cast<uid_t>(-2), static_cast<gid_t>(-2), {}};
  if (record) credentials = {record->cr_uid, record->cr_groups[0], record_groups(*record)};
  return PeerProcess(*pid, sys::UniqueFd{}, std::move(credentials), connect_egid_of(record));
}

}  // namespace

// The connect-time record has the groups, and they are taken only when that
// record is of the same user as `who` (from the token), so the thread never
// holds a group the peer's user did not hold when it connected.
std::vector<gid_t> peer_groups(int socket_fd, const PeerCredentials& who) {
  if (const auto record = connect_record(socket_fd); record && record->cr_uid == who.uid) {
    return record_groups(*record);
  }
  return {};
}

std::optional<PeerProcess> identify_peer(int socket_fd, PeerPinning pinning) {
  if (pinning == PeerPinning::PidOnly) return identify_by_pid(socket_fd);

  audit_token_t token{};
  socklen_t length = sizeof token;
  const int rc = ::getsockopt(socket_fd, SOL_LOCAL, LOCAL_PEERTOKEN, &token, &length);
  if (rc != 0 || length != sizeof token) {
    if (rc != 0 && option_unknown(errno)) return identify_by_pid(socket_fd);
    // Any other failure (EINVAL: no process runs under last_pid any more):
    // the id still names the peer in the refusal, but whatever runs under
    // it now may be someone else, so nothing is looked up for it.
    if (const auto pid = peer_pid(socket_fd)) return PeerProcess::gone(*pid);
    return std::nullopt;
  }
  const pid_t pid = ::audit_token_to_pid(token);
  if (pid < 1) return std::nullopt;

  ImageUuid recorded{};
  socklen_t uuid_length = sizeof recorded;
  if (::getsockopt(socket_fd, SOL_LOCAL, LOCAL_PEERUUID, recorded.data(), &uuid_length) != 0 ||
      uuid_length != sizeof recorded) {
    // Without the recorded image an exec after connecting goes unseen.
    return PeerProcess::gone(pid);
  }

  // The uid and gid come from the same token as the id: the rights of the
  // very process whose executable is checked. The token carries no groups
  // (peer_groups).
  PeerCredentials credentials{::audit_token_to_euid(token), ::audit_token_to_egid(token), {}};
  TokenWords words{};
  std::memcpy(words.data(), &token, sizeof token);
  // The token's egid is the process's now; the group it connected with is
  // in the connect-time record alone.
  return PeerProcess(pid, words, std::move(credentials), recorded,
                     connect_egid_of(connect_record(socket_fd)));
}

// The kernel reports the running image by name only: no proc_info flavor
// gives the device and inode of a process's main executable without asking
// its file system (region path info names the file behind an address, which
// address holds the main image is the peer's to arrange, and its vnode
// record comes from vn_stat, VNOP_GETATTR). Nor is the name looked up or
// stat'ed here: it is the client's to choose, and a disk image, a share or an
// FSKit volume of the user's that never answers would hold the service in
// that call. What is left is the name, and once it equals the canonical
// authorized name it is enough: the kernel builds it from the text vnode's
// own name and parent in the name cache (bsd/vfs/vfs_cache.c,
// build_path_with_parent, xnu-7195...11417) and finds something at it again
// (below). So the vnode the process runs was linked under the authorized
// name, in directories only root may write: it is the file there, or one
// root put there earlier and has since replaced, as an unlinked vnode keeps
// its name and parent (bsd/vfs/vfs_syscalls.c, unlinkat_internal, clears
// only a hard link's parent, xnu-7195...11417). Linux refuses that older
// image; XNU cannot tell it from the current one.
//
// proc_pidpath itself enters the file system that holds the executable,
// and nothing else names the image: proc_pidpathinfo_internal
// (bsd/kern/proc_info.c, xnu-7195...11417) builds the name with
// vn_getpath_fsenter, which for a vnode without a cached parent, or a hard
// link on a volume that can give paths from ids, asks the file system
// (vnode_getattr for va_parentid and va_name, then VFS_VGET of the parent:
// build_path_with_parent), and then looks the built name up (vnode_lookup,
// every component, VNOP_LOOKUP where the name cache misses), failing when
// it leads nowhere. That lookup is the kernel's and cannot be left out; it
// is also why a peer whose executable was moved or deleted is not named at
// all.
std::optional<PeerExecutable> peer_executable(const PeerProcess& peer, PeerConfirmation) {
  if (peer.is_gone()) return std::nullopt;
  std::array<char, PEER_PATH_BUFFER_SIZE> buffer{};
  const auto& words = peer.audit_token();
  PeerExecutable executable;
  if (!words) {
    // An old kernel: the id is all there is.
    const int n =
        ::proc_pidpath(peer.pid(), buffer.data(), static_cast<std::uint32_t>(buffer.size()));
    if (n < 1) return std::nullopt;
    executable.path.assign(buffer.data(), std::min(static_cast<std::size_t>(n), buffer.size()));
    return executable;
  }

  audit_token_t token{};
  std::memcpy(&token, words->data(), sizeof token);
  // The lookup by token fails once the process has exec'd or exited since
  // the token was taken (proc_pidpath_audittoken checks the id generation).
  const int n =
      ::proc_pidpath_audittoken(&token, buffer.data(), static_cast<std::uint32_t>(buffer.size()));
  if (n < 1) return std::nullopt;
  executable.path.assign(buffer.data(), std::min(static_cast<std::size_t>(n), buffer.size()));

  // After the name: the same generation still runs, so the name was its
  // image's, and its executable UUID now is the one compared below.
  const auto now = unique_identifiers(peer.pid());
  if (!now || now->p_idversion != ::audit_token_to_pidversion(token)) return std::nullopt;
  executable.same_image_as_connection =
      peer.socket_image() && std::memcmp(now->p_uuid, peer.socket_image()->data(), 16) == 0;
  return executable;
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
