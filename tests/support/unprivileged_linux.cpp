#include <grp.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "tests/support/test_support.h"

namespace nimbletrace_test {

bool drop_privileges(uid_t uid, gid_t gid, const std::vector<gid_t>& groups) {
  // Groups before the user id: once the user id is gone, so is the right to
  // change groups.
  if (::setresgid(gid, gid, gid) != 0) return false;
  if (::setgroups(groups.size(), groups.data()) != 0) return false;
  if (::setresuid(uid, uid, uid) != 0) return false;
  // A drop that could be undone is no drop.
  if (::setresuid(0, 0, 0) == 0 || ::geteuid() != uid || ::getegid() != gid) return false;
  // Changing ids made the process undumpable, which hands its /proc files to
  // root; a process that this user started the ordinary way owns them.
  return ::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0) == 0;
}

}  // namespace nimbletrace_test
