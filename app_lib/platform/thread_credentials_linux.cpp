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

  if (!set_thread_groups(peer.groups)) return fail(sys::last_sys_error_text());
  scoped.active_ = true;  // from here on the destructor puts everything back
  if (!set_thread_ids(peer.uid, peer.gid)) return fail(sys::sys_error_text(EPERM));
  return scoped;
}

bool ScopedThreadCredentials::restore() noexcept {
  // Returning the file-system uid to 0 also gives the thread back the
  // capabilities (CAP_DAC_OVERRIDE and the like) that leaving it took away.
  return set_thread_ids(saved_uid_, saved_gid_) && set_thread_groups(saved_groups_);
}

}  // namespace app_lib::platform
