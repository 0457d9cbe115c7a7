#include <sys/kauth.h>
#include <unistd.h>

#include <cerrno>

#include "app_lib/platform/thread_credentials.h"
#include "app_lib/sys/sys_error.h"

// pthread_setugid_np is the settid system call (XNU bsd/kern/kern_prot.c): a
// process whose credential is the superuser's gives the calling thread the
// uid and one gid as effective, real and saved ids, and nothing else of the
// process changes. The thread's groups become that gid alone
// (kauth_cred_setuidgid), with membership of any other group resolved for
// the uid by the directory service (memberd) unless the service's own
// credential opted out of it; that is what a process of the user sees too.
// KAUTH_UID_NONE reverts the thread to the process credential, and fails
// with EPERM unless the thread had assumed another identity; assuming one
// while already assuming fails with EPERM as well. The SDK declares the call
// in <unistd.h> as deprecated ("Use of per-thread security contexts is
// error-prone and discouraged"); it is still the only per-thread switch.

namespace app_lib::platform {
namespace {

int set_thread_ids(uid_t uid, gid_t gid) {
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
  return ::pthread_setugid_np(uid, gid);
#pragma clang diagnostic pop
}

}  // namespace

Result<ScopedThreadCredentials> ScopedThreadCredentials::assume(const PeerCredentials& peer) {
  ScopedThreadCredentials scoped;
  // A service that is not root cannot take on another user's rights, and
  // needs not to for its own user: it already reads with exactly those.
  if (::geteuid() != 0 && peer.uid == ::geteuid() && peer.gid == ::getegid()) return scoped;
  // That uid means "revert" to the call, not a user.
  if (peer.uid == KAUTH_UID_NONE) return fail(sys::sys_error_text(EINVAL));
  if (set_thread_ids(peer.uid, peer.gid) != 0) return fail(sys::last_sys_error_text());
  scoped.active_ = true;
  return scoped;
}

bool ScopedThreadCredentials::restore() noexcept {
  return set_thread_ids(KAUTH_UID_NONE, KAUTH_GID_NONE) == 0;
}

}  // namespace app_lib::platform
