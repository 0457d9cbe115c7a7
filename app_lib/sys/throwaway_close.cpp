#include "app_lib/sys/throwaway_close.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace app_lib::sys {
namespace {

// The grandchild: keeps its copies until the caller has closed the write end
// of the pipe (POLLHUP once nobody can write any more), then exits, which
// drops the last references. On Linux an exiting process never lingers on a
// TCP close (net/ipv4/af_inet.c, inet_release: no timeout with PF_EXITING).
[[noreturn]] void hold_until_released(int read_end, int write_end) {
  ::close(write_end);
  pollfd entry{read_end, POLLIN, 0};
  while (::poll(&entry, 1, -1) < 0 && errno == EINTR) {
  }
  ::_exit(0);
}

}  // namespace

void close_in_throwaway_process(std::vector<UniqueFd> fds) {
  if (fds.empty()) return;
  // Made and closed on the loop thread, the only one that spawns a process,
  // so no child can inherit it in the gap before close-on-exec is set.
  int ends[2] = {-1, -1};
  if (::pipe(ends) != 0) return;
  const UniqueFd read_end(ends[0]);
  UniqueFd write_end(ends[1]);
  if (!set_close_on_exec(ends[0]) || !set_close_on_exec(ends[1])) return;

  const pid_t child = ::fork();
  if (child == 0) {
    // The intermediate child exits at once, so the grandchild belongs to
    // init (or launchd) and the service never has to collect it.
    const pid_t grandchild = ::fork();
    if (grandchild == 0) hold_until_released(ends[0], ends[1]);
    ::_exit(grandchild < 0 ? 1 : 0);
  }
  if (child < 0) return;
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  // The intermediate child's exit status tells whether the grandchild holds
  // copies; if it does not, closing here is all that is left.
  fds.clear();
  write_end.reset();
}

}  // namespace app_lib::sys
