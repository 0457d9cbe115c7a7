#include <sys/kauth.h>
#include <sys/param.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "app_lib/platform/thread_credentials.h"
#include "app_lib/sys/sys_error.h"

// pthread_setugid_np is the settid system call (XNU bsd/kern/kern_prot.c,
// settid in xnu-7195, kern_settid from xnu-10002): a process whose credential
// is the superuser's gives the calling thread the uid and one gid as
// effective, real and saved ids, and nothing else of the process changes.
// KAUTH_UID_NONE reverts the thread to the process credential; it is never
// asked for: the worker thread ends with the peer's identity, and the kernel
// drops a thread's credential with the thread (osfmk/kern/thread.c:
// thread_terminate_self calls uthread_cred_free in xnu-7195 and
// xnu-8019.41; from xnu-8019.61, macOS 12.1, thread_deallocate_complete
// calls thread_ro_destroy, which frees tro_cred, and tro_realcred too from
// xnu-10063). So no revert can fail, as one does on macOS 14.4 when nothing
// was assumed (EPERM). The SDK declares the call in <unistd.h> as deprecated
// ("Use of per-thread security contexts is error-prone and discouraged"); it
// is still the only per-thread switch.
//
// Whether the thread "has assumed an identity" is not the same question on
// every release. Through xnu-10002.81 (macOS 14.3) a flag said so, set by
// every successful switch (UT_SETUID in xnu-7195 and xnu-8019.41,
// TRO_SETUID from xnu-8019.61). From xnu-10063.101.15 (macOS 14.4) it is
// tro_realcred != tro_cred: a switch that derives the very credential the
// process has (a root peer with gid 0, for a service holding the kernel's
// initial credential, uid 0 with the one group 0) assumes nothing. gettid
// (pthread_getugid_np) asks that question on every release (ESRCH when
// nothing is assumed), and setgroups_internal, which the groups below go
// through, asks the same one to choose between the thread's credential and
// the process's.
//
// Groups: the switch leaves the thread the one gid and inherits the
// process's opt-out of the directory service (kauth_cred_setuidgid,
// kauth_cred_model_setuidgid from xnu-10002, bsd/kern/kern_credential.c),
// and a plain setgroups opts out too (gmuid KAUTH_UID_NONE). An opted-out
// credential is a member of its listed groups alone
// (kauth_cred_ismember_gid), so a deny entry of an ACL, or group mode bits
// narrower than the world's, naming a group the user holds only through
// the directory service would not apply to the worker, and it would read
// what the peer itself could not. The initgroups system call sets the list
// and a uid for membership (gmuid) in one step; with the peer's uid, every
// group outside the list is asked of the directory service for that uid,
// as for the processes of a user who logged in (initgroups(3)). The list is
// the peer's own, as the kernel recorded it at connect. A lookup that fails
// counts as membership for a deny entry and not for an allow entry
// (kauth_acl_evaluate, bsd/kern/kern_authorization.c), and for group mode
// bits only where they deny (vnode_authorize_posix, bsd/vfs/vfs_subr.c),
// xnu-7195 to 11417.

// The system call behind initgroups(3), exported by libsystem_kernel but
// declared in no SDK header; Libinfo declares it the same way
// (lookup.subproj/libinfo.c, Libinfo-538 to 600). initgroups(3) itself is no
// use here: it finds the uid by looking the user's name up again, and when
// that fails it passes KAUTH_UID_NONE, silently opting out again.
extern "C" int __initgroups(unsigned int gidsetsize, gid_t* gidset, int gmuid);

namespace app_lib::platform {
namespace {

#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
int set_thread_ids(uid_t uid, gid_t gid) {
  return ::pthread_setugid_np(uid, gid);
}

bool thread_has_assumed_identity() {
  uid_t uid = 0;
  gid_t gid = 0;
  return ::pthread_getugid_np(&uid, &gid) == 0;
}
#pragma clang diagnostic pop

// cr_groups[0] is the egid (bsd/sys/ucred.h: #define cr_gid cr_groups[0]),
// so the list starts with the peer's gid; at most NGROUPS fit.
std::vector<gid_t> thread_group_list(const PeerCredentials& peer) {
  std::vector<gid_t> list{peer.gid};
  for (const gid_t group : peer.groups) {
    if (list.size() == NGROUPS) break;
    if (std::find(list.begin(), list.end(), group) == list.end()) list.push_back(group);
  }
  return list;
}

// Only while the thread has assumed an identity: otherwise the kernel
// applies the list to the whole process (setgroups_internal).
bool set_thread_groups_with_membership_of(std::vector<gid_t> groups, uid_t uid) {
  return ::__initgroups(static_cast<unsigned int>(groups.size()), groups.data(),
                        static_cast<int>(uid)) == 0;
}

}  // namespace

Result<void> assume_for_rest_of_thread(const PeerCredentials& peer) {
  // A service that is not root cannot take on another user's rights, and
  // needs not to for its own user: it already reads with exactly those.
  if (::geteuid() != 0 && peer.uid == ::geteuid() && peer.gid == ::getegid()) return {};
  // That uid means "revert" to the call, not a user, and "no membership
  // lookups" as a gmuid.
  if (peer.uid == KAUTH_UID_NONE) return fail(sys::sys_error_text(EINVAL));
  if (set_thread_ids(peer.uid, peer.gid) != 0) return fail(sys::last_sys_error_text());
  // The thread already runs with exactly the credential asked for, the
  // process's own: its groups are the process's, and setting any would
  // change the process's.
  if (!thread_has_assumed_identity()) return {};
  // Without the directory service's answers the thread could act with less
  // than the peer's membership, which lets a deny entry pass: no start then.
  if (!set_thread_groups_with_membership_of(thread_group_list(peer), peer.uid)) {
    return fail(sys::last_sys_error_text());
  }
  return {};
}

}  // namespace app_lib::platform
