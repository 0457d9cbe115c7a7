#include <sys/kauth.h>
#include <sys/param.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "app_lib/platform/thread_credentials.h"
#include "app_lib/sys/sys_error.h"

// pthread_setugid_np (the settid system call, bsd/kern/kern_prot.c) gives
// the calling thread of a superuser process the uid and one gid as
// effective, real and saved ids; nothing else of the process changes. It is
// never reverted: the reader thread ends with the peer's identity, and the
// kernel drops a thread's credential with the thread, so no revert can fail
// (one that had nothing to revert fails on macOS 14.4 with EPERM). Whether
// the switch assumed anything is asked of gettid (pthread_getugid_np, ESRCH
// when not): a switch to the credential the process already has assumes
// nothing, and the groups below may only be set on an assumed one, the
// condition setgroups_internal tests too. The SDK marks the call deprecated;
// it is still the only per-thread switch.
//
// Groups: the switch, and a plain setgroups, leave the thread opted out of
// the directory service, a member of its listed groups alone
// (kauth_cred_ismember_gid, bsd/kern/kern_credential.c), so an ACL entry or
// group mode bits denying a group the user holds only through the directory
// service would not apply to the reader, which would read what the peer
// could not. The initgroups system call sets the list and the uid for
// membership in one step, so every group outside the list is asked of the
// directory service for the peer's uid, as for a logged-in user
// (initgroups(3)). The list is the peer's own as the kernel recorded it at
// connect. A lookup that fails counts as membership for a deny entry only
// (kauth_acl_evaluate, bsd/kern/kern_authorization.c).
//
// Which release does what, tag by tag: docs/platform-calls.md.

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
