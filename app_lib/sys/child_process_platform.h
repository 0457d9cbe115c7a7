#pragma once

#include <spawn.h>
#include <sys/types.h>

namespace app_lib::sys::detail {

// Arranges for the child to start with no descriptor above 2, even one the
// service forgot to mark close-on-exec. Close-on-exec on every descriptor
// stays the guarantee; this only narrows the damage of a missed one.
// Returns 0 or an errno value.
int close_other_descriptors_in_child(posix_spawn_file_actions_t& actions, short& spawn_flags);

// A descriptor that pins the child just spawned (Linux: a pidfd), or -1
// where the system has none. Until the parent collects it, a child's id
// cannot pass to another process, so pinning right after the spawn holds the
// very child.
int pin_child(pid_t pid);

// SIGKILL to the child, through `pin` where there is one, so that a process
// that took over the id (after someone else collected the child) is never
// hit. 0 or an errno value.
int kill_child(pid_t pid, int pin);

// waitpid(pid) with `options` (0 or WNOHANG), through `pin` where there is
// one. Returns the id (0: still running with WNOHANG) and sets the raw wait
// status, or -1 with errno set; EINTR is left to the caller.
pid_t wait_child(pid_t pid, int pin, int options, int& status);

}  // namespace app_lib::sys::detail
