#include "app_lib/sys/descriptor_limit.h"

#include <sys/resource.h>

#include <algorithm>

namespace app_lib::sys {
namespace {

// OPEN_MAX of macOS's <sys/syslimits.h>. XNU itself takes any soft limit up
// to the hard one and enforces MIN(limit, maxfilesperproc)
// (bsd/kern/kern_resource.c dosetrlimit, xnu-7195 to xnu-11417), but a hard
// limit of RLIM_INFINITY is refused as a soft limit by the checks before it
// on some versions; the second try asks for no more than this.
constexpr rlim_t PORTABLE_OPEN_MAX = 10240;

}  // namespace

void raise_descriptor_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  rlimit wanted = limit;
  wanted.rlim_cur = limit.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &wanted) == 0) return;
  wanted.rlim_cur = std::min(limit.rlim_max, PORTABLE_OPEN_MAX);
  if (wanted.rlim_cur > limit.rlim_cur) (void)::setrlimit(RLIMIT_NOFILE, &wanted);
}

}  // namespace app_lib::sys
