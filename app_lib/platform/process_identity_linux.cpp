#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app_lib/platform/fdinfo_linux.h"
#include "app_lib/platform/peer_writes.h"
#include "app_lib/platform/process_identity.h"
#include "app_lib/sys/sys_error.h"

// glibc 2.36 does not name the option yet; Linux 6.5 and later know it.
#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

namespace app_lib::platform {
namespace {

// PIDFD_GET_INFO (Linux 6.13 and later; glibc 2.36 does not declare it): the
// first, 64-byte version of the structure, which every such kernel accepts.
struct PidfdInfoV0 {
  std::uint64_t mask;
  std::uint64_t cgroupid;
  std::uint32_t pid, tgid, ppid, ruid, rgid, euid, egid, suid, sgid, fsuid, fsgid;
  std::int32_t spare;
};
static_assert(sizeof(PidfdInfoV0) == 64);
constexpr unsigned long PIDFD_GET_INFO_V0 = _IOWR(0xFF, 11, PidfdInfoV0);
constexpr std::uint64_t PIDFD_INFO_PID_MASK = 1;

// The process id a pidfd names, in our namespace, from one ioctl; nullopt
// when the kernel is too old to answer that way.
std::optional<long long> pidfd_pid_by_ioctl(int pidfd, bool& reaped) {
  PidfdInfoV0 info{};
  info.mask = PIDFD_INFO_PID_MASK;
  if (::ioctl(pidfd, PIDFD_GET_INFO_V0, &info) == 0) return static_cast<long long>(info.tgid);
  reaped = (errno == ESRCH);
  return std::nullopt;
}

// The "Pid:" line of a pidfd's fdinfo: the process id in our namespace, -1
// once the process has been reaped, 0 if it lives in a namespace we cannot see.
std::optional<long long> pidfd_pid(int pidfd) {
  return fdinfo_number(pidfd, "Pid:");
}

// Whether the pidfd still names a process that has not exited and still
// carries `pid`. Checked after the executable path has been read: as long as
// the peer lives its id cannot have been handed to another process, so the
// path read under that id was the peer's.
bool pidfd_still_names(int pidfd, pid_t pid) {
  bool reaped = false;
  if (const auto current = pidfd_pid_by_ioctl(pidfd, reaped)) {
    // The kernel answers only while the process has not been reaped, and
    // until then its id cannot have been given to anyone else.
    return *current == static_cast<long long>(pid);
  }
  if (reaped) return false;
  const auto current = pidfd_pid(pidfd);
  if (!current || *current != pid) return false;
  if (::syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) != 0 && errno == ESRCH) return false;
  return true;
}

// Pins a peer that SO_PEERPIDFD cannot (Linux 5.3 to 6.4) by opening a pidfd
// for its id right after the connection was accepted.
//
// SO_PEERCRED's id is not proof of anything by itself: the socket holds the
// connecting process's struct pid (net/unix/af_unix.c, init_peercred:
// get_pid(task_tgid(current))), and getsockopt translates it on every call
// (net/core/sock.c, SO_PEERCRED -> cred_to_ucred -> pid_vnr), but
// pid_nr_ns (kernel/pid.c) returns the number stored in the struct without
// asking whether any task is still attached. The number itself is given
// back when the last task leaves the struct, at the reap: __change_pid ->
// free_pid -> idr_remove, while the struct lives on for whoever holds a
// reference (delayed_put_pid drops only the tasks' one). From then on
// alloc_pid may hand the number to a new process, and the socket goes on
// reporting it (read at Linux 6.1; the same functions back to 5.3). No
// second look at SO_PEERCRED can therefore tell whether the id still names
// the connector, and no socket option before 6.5 names the struct pid
// itself.
//
// What the pidfd does give: it names whoever holds the id when it is
// opened, and keeps naming that process alone. If the connector has not
// been reaped by then, that is the connector, and from here on the pin is
// as firm as SO_PEERPIDFD's: peer_executable and writer_after_read refuse
// it once it has been reaped, so a process that later takes over the id
// cannot write in its name. If the connector was reaped while the
// connection waited to be accepted, and another process took its id, the
// pidfd names that process, and nothing here can tell. That process must
// then run the authorized client itself when the check reads its
// executable, and the request must come from the id it holds: it gains
// nothing over a process that writes its request and then execs the
// authorized client, which Linux cannot tell apart on any kernel (see the
// README).
std::optional<PeerProcess> pin_by_id(pid_t pid, PeerCredentials who) {
  const gid_t connect_egid = who.gid;
  const long pidfd = ::syscall(SYS_pidfd_open, pid, 0);
  if (pidfd >= 0) {
    return PeerProcess(pid, sys::UniqueFd(static_cast<int>(pidfd)), std::move(who), connect_egid);
  }
  // Before Linux 5.3 there is no pidfd at all, and the bare id is all
  // there is: a peer reaped after the check can have its id taken, and the
  // request read under it.
  if (errno == ENOSYS) return PeerProcess(pid, sys::UniqueFd{}, std::move(who), connect_egid);
  // ESRCH: the id is free, so the connector is gone. EINVAL: the id now
  // names a thread, not a process, so it was reused. Anything else (no
  // descriptor left) leaves the peer unpinned where pinning exists.
  return PeerProcess::gone(pid);
}

// The file a process runs, as its /proc/PID/exe link leads to it, and
// whether any link to it is left.
struct RunningFile {
  FileIdentity identity;
  bool deleted = false;
};

// The kernel follows the link to the file it keeps for the process
// (fs/proc/base.c, proc_pid_get_link: proc_exe_link, then nd_jump_link)
// without a lookup in the file system that holds it, and after the jump
// asks only one that has d_weak_revalidate (fs/namei.c, complete_walk),
// which FUSE has not (fs/fuse/dir.c, fuse_dentry_operations). stat would
// then have that file system refresh the attributes: FUSE sends its server
// a GETATTR once the cached ones have timed out, and a client run from a
// FUSE mount of its own whose server never answers would hold the service
// there. With AT_STATX_DONT_SYNC the answer comes from the inode the kernel
// holds: vfs_getattr_nosec hands the flag to ->getattr (fs/stat.c), and
// fuse_update_get_attr takes it as "sync = false" before it looks at any
// timeout (fs/fuse/dir.c; so at Linux 5.10 and 6.6, and in the later form
// that first drops the fields FUSE does not cache). Device, inode and link
// count are all held there. A FUSE mount without allow_other refuses the
// service at once, also without asking its server (fuse_getattr,
// fuse_allow_current_process: EACCES). AT_NO_AUTOMOUNT is what stat(2)
// passes too (fs/stat.c, vfs_fstatat).
std::optional<RunningFile> running_file(const std::string& link) {
  struct statx st {};
  if (::statx(AT_FDCWD, link.c_str(), AT_STATX_DONT_SYNC | AT_NO_AUTOMOUNT, STATX_INO | STATX_NLINK,
              &st) != 0 ||
      (st.stx_mask & STATX_INO) == 0) {
    return std::nullopt;
  }
  RunningFile file;
  // The same encoding stat(2) gives st_dev (new_encode_dev, gnu_dev_makedev),
  // so the identity compares with one taken by stat.
  file.identity.device = static_cast<std::uint64_t>(::makedev(st.stx_dev_major, st.stx_dev_minor));
  file.identity.inode = st.stx_ino;
  file.deleted = (st.stx_mask & STATX_NLINK) != 0 && st.stx_nlink == 0;
  return file;
}

// The user namespace a /proc entry's process lives in, as the kernel names
// it: "user:[N]", N being the namespace's inode number on nsfs
// (proc_ns_readlink). Every namespace lives on that one nsfs instance and
// keeps its number (ns_alloc_inum) for as long as it exists, so while the
// service's own namespace exists no other one has its name. Read with
// readlink, which only formats the number, instead of stat, which has the
// kernel look up the namespace's nsfs dentry: half the cost.
std::optional<std::string> user_namespace_of(const std::string& proc_dir) {
  std::array<char, 64> name{};
  const ssize_t n = ::readlink((proc_dir + "/ns/user").c_str(), name.data(), name.size());
  if (n < 1 || static_cast<std::size_t>(n) >= name.size()) return std::nullopt;
  return std::string(name.data(), static_cast<std::size_t>(n));
}

// The service never changes its user namespace, so its own is read once.
const std::optional<std::string>& own_user_namespace() {
  static const std::optional<std::string> own = user_namespace_of("/proc/self");
  return own;
}

}  // namespace

// SO_PEERGROUPS (Linux 4.13 and later) copies the groups of the credential
// the connecting process had at connect() (unix_stream_connect,
// copy_peercred), the same record SO_PEERCRED reads.
std::vector<gid_t> peer_groups(int socket_fd, const PeerCredentials&) {
  std::vector<gid_t> groups(64);
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto length = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (::getsockopt(socket_fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &length) == 0) {
      groups.resize(length / sizeof(gid_t));
      return groups;
    }
    // ERANGE reports the size needed in `length`.
    if (errno != ERANGE) break;
    groups.resize(length / sizeof(gid_t) + 1);
  }
  return {};
}

std::optional<PeerProcess> identify_peer(int socket_fd, PeerPinning pinning) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(socket_fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
      length != sizeof credentials || credentials.pid < 1) {
    return std::nullopt;
  }
  // The gid is the connector's effective gid at connect(): the accepted
  // socket keeps the credential current had then (net/unix/af_unix.c,
  // unix_stream_connect -> init_peercred(newsk): get_current_cred()), and
  // getsockopt reports its egid (net/core/sock.c, cred_to_ucred:
  // from_kgid_munged(current_ns, cred->egid)); read at Linux 6.1 and 6.12.
  // Neither a later exec nor setegid of the peer reaches that record.
  PeerCredentials who{credentials.uid, credentials.gid, {}};
  const gid_t connect_egid = credentials.gid;
  if (pinning == PeerPinning::PidOnly) {
    return PeerProcess(credentials.pid, sys::UniqueFd{}, std::move(who), connect_egid);
  }

  // The kernel hands out pidfds close-on-exec.
  int pidfd = -1;
  length = sizeof pidfd;
  if (::getsockopt(socket_fd, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &length) == 0) {
    if (pidfd >= 0) {
      return PeerProcess(credentials.pid, sys::UniqueFd(pidfd), std::move(who), connect_egid);
    }
    return PeerProcess::gone(credentials.pid);
  }
  // A kernel older than 6.5 does not know the option: pin by the id. Any
  // other refusal (6.5 to 6.14 answer EINVAL once the peer has been reaped)
  // means the peer cannot be pinned, and an id that may already belong to
  // someone else must not be trusted.
  if (errno == ENOPROTOOPT) return pin_by_id(credentials.pid, std::move(who));
  return PeerProcess::gone(credentials.pid);
}

std::optional<PeerExecutable> peer_executable(const PeerProcess& peer,
                                              PeerConfirmation confirmation) {
  if (peer.is_gone()) return std::nullopt;
  const std::string link = "/proc/" + std::to_string(peer.pid()) + "/exe";
  std::array<char, PEER_PATH_BUFFER_SIZE> buffer{};
  // readlink does not terminate the text; its result is the length.
  const ssize_t n = ::readlink(link.c_str(), buffer.data(), buffer.size());
  if (n < 1) return std::nullopt;
  // The text is only a name, and names lie: a deleted executable reads
  // "<path> (deleted)" (a name anyone may plant), and a process in another
  // mount namespace reports a path that means another file here. Following
  // the link itself yields the file the process runs, wherever it lives.
  const auto file = running_file(link);
  if (!file) return std::nullopt;
  // A process in a user namespace of its own holds every capability there,
  // and with CAP_SYS_ADMIN (or CAP_CHECKPOINT_RESTORE) in its own namespace
  // it may set the link above to any file it can open: prctl(PR_SET_MM,
  // PR_SET_MM_MAP) with exe_fd asks for nothing more (kernel/sys.c,
  // prctl_set_mm_map, checkpoint_restore_ns_capable(current_user_ns())).
  // In the service's own namespace only root holds those, so there the link
  // still names the image the process was started from or exec'd.
  // SO_PEERCRED's uid cannot tell: it is the namespace owner's uid, mapped
  // back, whatever namespace the peer sits in.
  const auto peer_namespace = user_namespace_of("/proc/" + std::to_string(peer.pid()));
  // Both the name, the file and the namespace were read under the id: if
  // the pidfd still names that live process now (or after the request has
  // been read), they were the peer's.
  if (confirmation == PeerConfirmation::AtOnce && peer.pidfd() >= 0 &&
      !pidfd_still_names(peer.pidfd(), peer.pid())) {
    return std::nullopt;
  }
  PeerExecutable executable;
  executable.path.assign(buffer.data(), static_cast<std::size_t>(n));
  executable.file = file->identity;
  executable.deleted = file->deleted;
  executable.in_service_user_namespace =
      peer_namespace && own_user_namespace() && *peer_namespace == *own_user_namespace();
  return executable;
}

// SO_PASSCRED names the writer of every chunk by its pid in the service's
// namespace, read when the chunk is received: the id of a writer that has
// since been reaped may by then belong to someone else, and so may the
// verified peer's. While the verified process has not been reaped its id is
// its own; since it was alive (pinned by its pidfd) at connect() and at
// the check, a chunk carrying that id after the read was written by it. So
// one look at the pidfd after the read stands in for comparing a pidfd per
// chunk (SO_PASSPIDFD): that would install, compare and close a descriptor
// for every read, and before Linux 6.9 all pidfds share one anonymous inode,
// so there is nothing to compare them by.
std::optional<pid_t> writer_after_read(int, const PeerProcess& verified) {
  if (verified.pidfd() >= 0 && !pidfd_still_names(verified.pidfd(), verified.pid())) {
    return verified.pid();
  }
  return std::nullopt;
}

Result<std::filesystem::path> current_executable_path() {
  std::vector<char> buffer(PEER_PATH_BUFFER_SIZE);
  // A result that fills the buffer may have been cut short; grow and ask again.
  while (buffer.size() <= (std::size_t{1} << 20)) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return fail(sys::last_sys_error_text());
    if (static_cast<std::size_t>(n) < buffer.size()) {
      return std::filesystem::path(std::string(buffer.data(), static_cast<std::size_t>(n)));
    }
    buffer.resize(buffer.size() * 2);
  }
  return fail(sys::sys_error_text(ENAMETOOLONG));
}

}  // namespace app_lib::platform
