#pragma once

namespace app_lib::sys {

// Raises the soft RLIMIT_NOFILE as far as the hard limit allows. launchd
// starts daemons with a soft limit of 256 (launchd.plist(5),
// SoftResourceLimits), and where descriptors a client sent do not fit when
// a read installs them, the kernel releases them in the reading thread
// (XNU bsd/kern/uipc_usrreq.c unp_externalize; Linux scm_detach_fds). Best
// effort: the limits stay as they were when the system refuses.
void raise_descriptor_limit();

}  // namespace app_lib::sys
