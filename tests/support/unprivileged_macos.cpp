#include <unistd.h>

#include "tests/support/test_support.h"

namespace nimbletrace_test {

bool drop_privileges(uid_t uid, gid_t gid) {
  // Groups before the user id: once the user id is gone, so is the right to
  // change groups. As root, setgid and setuid set the real, effective and
  // saved ids alike.
  if (::setgid(gid) != 0) return false;
  if (::setgroups(0, nullptr) != 0) return false;
  if (::setuid(uid) != 0) return false;
  // A drop that could be undone is no drop.
  return ::setuid(0) != 0 && ::geteuid() == uid && ::getegid() == gid;
}

}  // namespace nimbletrace_test
