#include <unistd.h>

#include <vector>

#include "tests/support/test_support.h"

namespace nimbletrace_test {

bool drop_privileges(uid_t uid, gid_t gid, const std::vector<gid_t>& extra) {
  // Groups before the ids: once the user id is gone, so is the right to
  // change groups. The list is the one gid, never empty: XNU turns an empty
  // list into the one group 0 (setgroups_internal, bsd/kern/kern_prot.c), and
  // cr_gid is cr_groups[0], so setgroups(0, NULL) would make the egid 0
  // again after setgid. As root, setgid and setuid set the real, effective
  // and saved ids alike.
  std::vector<gid_t> list{gid};
  list.insert(list.end(), extra.begin(), extra.end());
  if (::setgroups(static_cast<int>(list.size()), list.data()) != 0) return false;
  if (::setgid(gid) != 0) return false;
  if (::setuid(uid) != 0) return false;
  // A drop that could be undone is no drop.
  std::vector<gid_t> now(list.size() + 1);
  return ::setuid(0) != 0 && ::geteuid() == uid && ::getegid() == gid &&
         ::getgroups(static_cast<int>(now.size()), now.data()) == static_cast<int>(list.size()) &&
         now[0] == gid;
}

}  // namespace nimbletrace_test
