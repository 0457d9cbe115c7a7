#pragma once

#include <vector>

#include "app_lib/sys/fd.h"

namespace app_lib::sys {

// Closes `fds` so that no last reference to what they name is dropped by the
// calling thread: a short-lived grandchild inherits copies, the caller closes
// its own, and the grandchild's exit closes the last ones. Whatever that
// close waits for (a lingering socket's unsent data), only the grandchild
// waits; the caller waits only for the intermediate child, which exits at
// once. Only async-signal-safe calls run in the children. If no child can be
// made, the descriptors are closed here after all.
void close_in_throwaway_process(std::vector<UniqueFd> fds);

}  // namespace app_lib::sys
