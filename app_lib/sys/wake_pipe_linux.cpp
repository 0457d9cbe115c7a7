#include <fcntl.h>
#include <unistd.h>

#include "app_lib/sys/sys_error.h"
#include "app_lib/sys/wake_pipe.h"

namespace app_lib::sys {

Result<WakePipe> WakePipe::create() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return fail(last_sys_error_text());
  return WakePipe(UniqueFd(ends[0]), UniqueFd(ends[1]));
}

}  // namespace app_lib::sys
