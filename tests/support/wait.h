#pragma once

// Bounded waiting. Every wait in a test ends at a limit, so a hang fails the
// test instead of stalling the run.

#include <chrono>

namespace nimbletrace_test {

using namespace std::chrono_literals;

// How long a test waits for anything that should happen at once: a process to
// start, answer or exit, a connection, a condition to hold. Far beyond what a
// healthy run needs even under the sanitizers.
inline constexpr std::chrono::seconds WAIT_LIMIT{10};
// For steps that do real work before they can be seen: hashing tens of MiB,
// a helper that copies and re-executes this binary, an attack of many tries.
inline constexpr std::chrono::seconds SLOW_WAIT_LIMIT{30};

using Deadline = std::chrono::steady_clock::time_point;
inline Deadline deadline_after(std::chrono::milliseconds limit) {
  return std::chrono::steady_clock::now() + limit;
}

// The pause between two looks at a condition that nothing can signal.
void poll_pause();

// Polls `condition` until it holds or `limit` has passed; true if it held.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = WAIT_LIMIT) {
  const Deadline deadline = deadline_after(limit);
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    poll_pause();
  }
  return condition();
}

// poll(2) for `events` on `fd` until `deadline`, through interruptions; false
// once the deadline has passed or poll fails.
bool wait_for_events(int fd, short events, Deadline deadline);

}  // namespace nimbletrace_test
