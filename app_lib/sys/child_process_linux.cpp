#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "app_lib/sys/child_process_platform.h"

#ifndef P_PIDFD
#define P_PIDFD 3  // include/uapi/linux/wait.h, Linux 5.4
#endif

namespace app_lib::sys::detail {

int close_other_descriptors_in_child(posix_spawn_file_actions_t& actions, short&) {
  return ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
}

// pidfd_open(2), Linux 5.3; -1 on an older kernel, which leaves the id.
// The descriptor is close-on-exec: pidfds always are (kernel/pid.c).
int pin_child(pid_t pid) {
  const long fd = ::syscall(SYS_pidfd_open, pid, 0);
  return fd < 0 ? -1 : static_cast<int>(fd);
}

int kill_child(pid_t pid, int pin) {
  if (pin >= 0) {
    return ::syscall(SYS_pidfd_send_signal, pin, SIGKILL, nullptr, 0) == 0 ? 0 : errno;
  }
  return ::kill(pid, SIGKILL) == 0 ? 0 : errno;
}

// waitid(P_PIDFD) reports in a siginfo; the class keeps the raw status that
// waitpid would have given, so it is rebuilt (the layout of <sys/wait.h>).
pid_t wait_child(pid_t pid, int pin, int options, int& status) {
  if (pin < 0) return ::waitpid(pid, &status, options);
  siginfo_t info{};
  if (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pin), &info,
               WEXITED | options) != 0) {
    if (errno != EINVAL) return -1;
    // A kernel between 5.3 and 5.4 has pidfds but cannot wait on them.
    return ::waitpid(pid, &status, options);
  }
  if (info.si_pid == 0) return 0;
  switch (info.si_code) {
    case CLD_EXITED:
      status = (info.si_status & 0xff) << 8;
      break;
    case CLD_DUMPED:
      status = (info.si_status & 0x7f) | 0x80;
      break;
    default:
      status = info.si_status & 0x7f;
      break;
  }
  return info.si_pid;
}

}  // namespace app_lib::sys::detail
