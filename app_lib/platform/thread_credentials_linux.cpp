#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "app_lib/platform/thread_credentials.h"
#include "app_lib/sys/sys_error.h"

namespace app_lib::platform {
namespace {

// The kernel keeps credentials per thread; it is glibc's wrappers for
// setgroups (and setuid and friends) that signal every thread of the process
// to copy the change. The raw system calls change the calling thread only,
// which is the point: the signal thread must never act with a client's rights.
// setfsuid and setfsgid never report failure except through the value now in
// force, which an invalid id (-1) reads back without changing it.
uid_t thread_fsuid() {
  return static_cast<uid_t>(::syscall(SYS_setfsuid, -1));
}
gid_t thread_fsgid() {
  return static_cast<gid_t>(::syscall(SYS_setfsgid, -1));
}

bool set_thread_groups(const std::vector<gid_t>& groups) {
  return ::syscall(SYS_setgroups, groups.size(), groups.data()) == 0;
}

bool set_thread_ids(uid_t uid, gid_t gid) {
  ::syscall(SYS_setfsgid, gid);
  ::syscall(SYS_setfsuid, uid);
  return thread_fsgid() == gid && thread_fsuid() == uid;
}

// capset with pid 0 changes the calling thread alone (kernel/capability.c).
// Every set is emptied, the permitted one included, so nothing can be raised
// again on this thread; the ambient set follows (cap_capset keeps it within
// permitted and inheritable). The real and saved ids stay the service's, so
// the peer cannot signal or trace the thread while it acts for them
// (kill_ok_by_cred in kernel/signal.c, __ptrace_may_access in
// kernel/ptrace.c compare those ids).
bool drop_all_capabilities() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3]{};
  return ::syscall(SYS_capset, &header, none) == 0;
}

}  // namespace

Result<void> assume_for_rest_of_thread(const PeerCredentials& peer) {
  // A service that is not root cannot take on another user's rights, and
  // needs not to for its own user: it already reads with exactly those.
  if (::geteuid() != 0 && peer.uid == ::geteuid() && peer.gid == ::getegid()) return {};
  // Groups and ids while CAP_SETGID and CAP_SETUID are in effect; the
  // capabilities last of all.
  if (!set_thread_groups(peer.groups)) return fail(sys::last_sys_error_text());
  if (!set_thread_ids(peer.uid, peer.gid)) return fail(sys::sys_error_text(EPERM));
  // A file-system uid other than 0 takes away only the file capabilities
  // (CAP_DAC_OVERRIDE and the like); CAP_SYS_PTRACE would still let a path
  // through /proc/PID/cwd of someone else's process reach into their home.
  // Root acting for root keeps its capabilities: they are the peer's too.
  if (peer.uid != 0 && !drop_all_capabilities()) return fail(sys::last_sys_error_text());
  return {};
}

}  // namespace app_lib::platform
