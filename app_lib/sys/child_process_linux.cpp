#include "app_lib/sys/child_process_platform.h"

namespace app_lib::sys::detail {

int close_other_descriptors_in_child(posix_spawn_file_actions_t& actions, short&) {
  return ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
}

}  // namespace app_lib::sys::detail
