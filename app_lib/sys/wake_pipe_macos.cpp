#include <unistd.h>

#include <initializer_list>
#include <utility>

#include "app_lib/sys/sys_error.h"
#include "app_lib/sys/wake_pipe.h"

namespace app_lib::sys {

// macOS has no pipe2 (not in XNU's bsd/kern/syscalls.master, xnu-7195 to
// xnu-11417), so close-on-exec is set right after pipe(2). The gap
// cannot leak the pipe into a core: the core is spawned with
// POSIX_SPAWN_CLOEXEC_DEFAULT, and the pipe is made before the loop serves.
Result<WakePipe> WakePipe::create() {
  int ends[2];
  if (::pipe(ends) != 0) return fail(last_sys_error_text());
  UniqueFd read_end(ends[0]);
  UniqueFd write_end(ends[1]);
  for (const UniqueFd* end : {&read_end, &write_end}) {
    if (!set_close_on_exec(end->get()) || !set_nonblocking(end->get())) {
      return fail(last_sys_error_text());
    }
  }
  return WakePipe(std::move(read_end), std::move(write_end));
}

}  // namespace app_lib::sys
