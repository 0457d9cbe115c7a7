#include "app_lib/sys/child_process_platform.h"

namespace app_lib::sys::detail {

// Only the descriptors named by the file actions (0, 1 and 2 on /dev/null)
// survive into the child.
int close_other_descriptors_in_child(posix_spawn_file_actions_t&, short& spawn_flags) {
  spawn_flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
  return 0;
}

}  // namespace app_lib::sys::detail
