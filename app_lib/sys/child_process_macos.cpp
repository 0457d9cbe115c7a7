#include "app_lib/sys/child_process_platform.h"

#include <signal.h>
#include <sys/wait.h>

#include <cerrno>

namespace app_lib::sys::detail {

// Only the descriptors named by the file actions (0, 1 and 2 on /dev/null)
// survive into the child (XNU bsd/kern/kern_exec.c exec_handle_file_actions
// marks them UF_INHERIT under POSIX_SPAWN_CLOEXEC_DEFAULT, xnu-7195 to
// xnu-11417).
int close_other_descriptors_in_child(posix_spawn_file_actions_t&, short& spawn_flags) {
  spawn_flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
  return 0;
}

// XNU has no descriptor for a process; the id is all there is. Once the
// service has collected the child it never signals the id again.
int pin_child(pid_t) {
  return -1;
}

int kill_child(pid_t pid, int) {
  return ::kill(pid, SIGKILL) == 0 ? 0 : errno;
}

pid_t wait_child(pid_t pid, int, int options, int& status) {
  return ::waitpid(pid, &status, options);
}

}  // namespace app_lib::sys::detail
