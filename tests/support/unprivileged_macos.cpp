#include <unistd.h>

#include "tests/support/test_support.h"

namespace nimbletrace_test {

bool drop_privileges(uid_t uid, gid_t gid) {
  // Groups before the ids: once the user id is gone, so is the right to
  // change groups. The list is the one gid, never empty: XNU turns an empty
  // list into the one group 0 (setgroups_internal, bsd/kern/kern_prot.c), and
  // cr_gid is cr_groups[0], so setgroups(0, NULL) would make the egid 0
  // again after setgid. As root, setgid and setuid set the real, effective
  // and saved ids alike.
  if (::setgroups(1, &gid) != 0) return false;
  if (::setgid(gid) != 0) return false;
  if (::setuid(uid) != 0) return false;
  // A drop that could be undone is no drop.
  gid_t groups[2] = {};
  return ::setuid(0) != 0 && ::geteuid() == uid && ::getegid() == gid &&
         ::getgroups(2, groups) == 1 && groups[0] == gid;
}

}  // namespace nimbletrace_test
