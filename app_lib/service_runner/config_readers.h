#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "app_lib/platform/process_identity.h"
#include "app_lib/service_ipc/messages.h"
#include "app_lib/service_runner/core_launch.h"
#include "app_lib/sys/result.h"
#include "app_lib/sys/wake_pipe.h"

namespace app_lib::service_runner {

// Reads start requests' configurations on threads of their own, each with
// the requester's rights, so that a name leading onto a file system that
// never answers (a user's FUSE mount, a network share, a disk image) holds
// one of these threads and never the loop. A read gets TIME_LIMIT; past it
// the loop answers without it and the thread is abandoned: it can only
// finish reading, and what it read is dropped when it comes back. Threads
// that have not come back still count against THREAD_LIMIT.
//
// Used by the loop thread only; the threads share nothing else with it.
class ConfigReaders {
 public:
  // Threads reading at once, abandoned ones included; past it a start is
  // refused at once until one comes back.
  static constexpr std::size_t THREAD_LIMIT = 4;
  // A read's time, the same as a connection's read budget.
  static constexpr std::chrono::seconds TIME_LIMIT{2};

  class Read;

  // The error is the system error text alone.
  static Result<ConfigReaders> create();

  // Starts reading `config` as `requester`, or with the service's own rights
  // without one. Refused at once (the directory step's message, "Resource
  // temporarily unavailable") at the thread limit or when no thread starts.
  Result<std::shared_ptr<Read>> start(const service_ipc::ServiceRunnerCoreLaunchConfig& config,
                                      const std::optional<platform::PeerCredentials>& requester);

  // Readable once a read has finished since the last drain.
  int ready_fd() const { return shared_->wake.wait_fd(); }
  void drain() const { shared_->wake.drain(); }

 private:
  struct Shared {
    explicit Shared(sys::WakePipe pipe) : wake(std::move(pipe)) {}
    sys::WakePipe wake;
    std::atomic<std::size_t> threads{0};
  };
  explicit ConfigReaders(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

  std::shared_ptr<Shared> shared_;
};

// One read under way, shared by the loop and the thread doing it.
class ConfigReaders::Read {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Read(Clock::time_point deadline) : deadline_(deadline) {}

  // The digested bytes or the read's failure, once the thread has finished.
  std::optional<Result<std::string>> take();
  // Gives up on a read past its time: what it came to if it finished just
  // now, otherwise the failure of the step it is stuck at, timed out. The
  // thread then keeps nothing it reads.
  Result<std::string> abandon();
  Clock::time_point deadline() const { return deadline_; }

 private:
  friend class ConfigReaders;
  // From the thread: keeps `outcome` unless the read was abandoned.
  void finish(Result<std::string> outcome);

  const Clock::time_point deadline_;
  std::atomic<ConfigReadStep> step_{ConfigReadStep::Directory};
  std::mutex mutex_;
  std::optional<Result<std::string>> outcome_;
  bool abandoned_ = false;
};

}  // namespace app_lib::service_runner
