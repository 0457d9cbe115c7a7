#pragma once

#include <spawn.h>

namespace app_lib::sys::detail {

// Arranges for the child to start with no descriptor above 2, even one the
// service forgot to mark close-on-exec. Close-on-exec on every descriptor
// stays the guarantee; this only narrows the damage of a missed one.
// Returns 0 or an errno value.
int close_other_descriptors_in_child(posix_spawn_file_actions_t& actions, short& spawn_flags);

}  // namespace app_lib::sys::detail
