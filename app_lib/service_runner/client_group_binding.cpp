#include "app_lib/service_runner/client_group_binding.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include "app_lib/sys/user_database.h"

namespace app_lib::service_runner {
namespace {

std::string not_bound(gid_t group, const std::string& why) {
  return "nimbletrace-service: the authorized client is set-group-ID to group " +
         std::to_string(group) + ", " + why + "; connections are not bound to it\n";
}

// Whether exec of a file with `mode` on that mount gives its group. Linux
// applies the bit only with group execute (fs/exec.c, bprm_fill_uid: "(mode
// & (S_ISGID | S_IXGRP)) == (S_ISGID | S_IXGRP)"; without it the bit marks
// mandatory locking); XNU applies it alone (bsd/kern/kern_exec.c,
// exec_handle_sugid), so asking for both binds only where both give the
// group. Neither applies it on a nosuid mount (fs/exec.c,
// mnt_may_suid; kern_exec.c, exec_check_permissions: MNT_NOSUID), where
// binding would refuse the genuine client.
bool exec_gives_group(const std::filesystem::path& file, mode_t mode) {
  if ((mode & (S_ISGID | S_IXGRP)) != (S_ISGID | S_IXGRP)) return false;
  struct statvfs mount {};
  return ::statvfs(file.c_str(), &mount) == 0 && (mount.f_flag & ST_NOSUID) == 0;
}

}  // namespace

ClientGroupBinding::Look ClientGroupBinding::look(const std::filesystem::path& authorized_client) {
  struct stat st {};
  if (::stat(authorized_client.c_str(), &st) != 0) {
    seen_.reset();
    bound_.reset();
    return {};
  }
  const Seen now{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                 st.st_mode, st.st_gid};
  if (seen_ == now) return {bound_, std::nullopt};
  seen_ = now;
  bound_.reset();
  if (!S_ISREG(st.st_mode) || !exec_gives_group(authorized_client, st.st_mode)) return {};

  const auto holder = sys::user_holding_group(st.st_gid);
  if (!holder) {
    return {std::nullopt,
            not_bound(st.st_gid, "whose holders cannot be told (" + holder.error() + ")")};
  }
  if (*holder) return {std::nullopt, not_bound(st.st_gid, "which user " + **holder + " holds")};
  bound_ = st.st_gid;
  return {bound_, std::nullopt};
}

}  // namespace app_lib::service_runner
