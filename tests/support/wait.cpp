#include "tests/support/wait.h"

#include <poll.h>
#include <time.h>

#include <cerrno>

namespace nimbletrace_test {

void poll_pause() {
  timespec pause{0, 5'000'000};
  ::nanosleep(&pause, nullptr);
}

bool wait_for_events(int fd, short events, Deadline deadline) {
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd entry{fd, events, 0};
    const int rc = ::poll(&entry, 1, static_cast<int>(left.count()));
    if (rc > 0) return true;
    if (rc < 0 && errno != EINTR) return false;
  }
}

}  // namespace nimbletrace_test
