#pragma once

#include <utility>

#include "app_lib/sys/fd.h"
#include "app_lib/sys/result.h"

namespace app_lib::sys {

// A pipe that one thread writes to wake another that polls its read end.
// Both ends are close-on-exec and non-blocking: signalling never waits, not
// even when earlier wake-ups fill the pipe, and draining never waits either.
//
// Thread-safety: signal() may run on any thread at the same time as drain()
// and a poll on wait_fd() on another; the object must outlive all of them.
class WakePipe {
 public:
  // The error is the system error text alone.
  static Result<WakePipe> create();

  // Readable while a wake-up is pending.
  int wait_fd() const { return read_end_.get(); }

  // Makes wait_fd() readable. One write(2) and nothing else, so it is safe
  // from any thread and would be from a signal handler too.
  void signal() const noexcept;

  // Consumes every pending wake-up, so the next poll waits again.
  void drain() const noexcept;

 private:
  WakePipe(UniqueFd read_end, UniqueFd write_end)
      : read_end_(std::move(read_end)), write_end_(std::move(write_end)) {}

  UniqueFd read_end_;
  UniqueFd write_end_;
};

}  // namespace app_lib::sys
