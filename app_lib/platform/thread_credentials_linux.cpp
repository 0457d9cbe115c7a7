#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

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

Result<std::vector<gid_t>> thread_groups() {
  const int count = ::getgroups(0, nullptr);
  if (count < 0) return fail(sys::last_sys_error_text());
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  const int read = ::getgroups(count, groups.data());
  if (read < 0) return fail(sys::last_sys_error_text());
  groups.resize(static_cast<std::size_t>(read));
  return groups;
}

// capget and capset with pid 0 read and change the calling thread alone
// (kernel/capability.c). Version 3 carries the 64 capability bits in two
// 32-bit halves.
using CapabilitySets = __user_cap_data_struct[_LINUX_CAPABILITY_U32S_3];

bool thread_capabilities(CapabilitySets& sets) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  return ::syscall(SYS_capget, &header, sets) == 0;
}

bool set_thread_capabilities(const CapabilitySets& sets) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  return ::syscall(SYS_capset, &header, sets) == 0;
}

bool save_effective_capabilities(std::uint32_t (&saved)[2]) {
  CapabilitySets sets{};
  if (!thread_capabilities(sets)) return false;
  saved[0] = sets[0].effective;
  saved[1] = sets[1].effective;
  return true;
}

// Only the effective set is emptied: the permitted one stays, so the thread
// can raise them again, and the real and saved ids stay the service's, so
// the peer cannot signal or trace the thread while it acts for them
// (kill_ok_by_cred in kernel/signal.c, __ptrace_may_access in
// kernel/ptrace.c compare those ids).
bool drop_effective_capabilities() {
  CapabilitySets sets{};
  if (!thread_capabilities(sets)) return false;
  sets[0].effective = 0;
  sets[1].effective = 0;
  return set_thread_capabilities(sets);
}

bool restore_effective_capabilities(const std::uint32_t (&saved)[2]) {
  CapabilitySets sets{};
  if (!thread_capabilities(sets)) return false;
  sets[0].effective = saved[0];
  sets[1].effective = saved[1];
  return set_thread_capabilities(sets);
}

}  // namespace

Result<ScopedThreadCredentials> ScopedThreadCredentials::assume(const PeerCredentials& peer) {
  ScopedThreadCredentials scoped;
  // A service that is not root cannot take on another user's rights, and
  // needs not to for its own user: it already reads with exactly those.
  if (::geteuid() != 0 && peer.uid == ::geteuid() && peer.gid == ::getegid()) return scoped;

  auto groups = thread_groups();
  if (!groups) return fail(std::move(groups.error()));
  scoped.saved_groups_ = std::move(*groups);
  scoped.saved_uid_ = thread_fsuid();
  scoped.saved_gid_ = thread_fsgid();
  if (!save_effective_capabilities(scoped.saved_effective_capabilities_)) {
    return fail(sys::last_sys_error_text());
  }

  if (!set_thread_groups(peer.groups)) return fail(sys::last_sys_error_text());
  scoped.active_ = true;  // from here on restore puts everything back
  if (!set_thread_ids(peer.uid, peer.gid)) return fail(sys::sys_error_text(EPERM));
  // A file-system uid other than 0 takes away only the file capabilities
  // (CAP_DAC_OVERRIDE and the like); CAP_SYS_PTRACE would still let a path
  // through /proc/PID/cwd of someone else's process reach into their home.
  // Root acting for root keeps its capabilities: they are the peer's too.
  if (peer.uid != 0 && !drop_effective_capabilities()) {
    return fail(sys::last_sys_error_text());
  }
  return scoped;
}

bool ScopedThreadCredentials::restore_platform() noexcept {
  // Capabilities first: restoring the groups needs CAP_SETGID in effect.
  // Returning the file-system uid to 0 also gives the file capabilities back.
  const bool capabilities = restore_effective_capabilities(saved_effective_capabilities_);
  return capabilities && set_thread_ids(saved_uid_, saved_gid_) &&
         set_thread_groups(saved_groups_);
}

}  // namespace app_lib::platform
