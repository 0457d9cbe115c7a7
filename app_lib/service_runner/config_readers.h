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
// one of these threads and never the loop. A read has until the deadline
// it is started with; past it the loop answers without it and the thread
// is abandoned: it can only finish reading, and what it read is dropped
// when it comes back. At most THREAD_LIMIT threads exist at once, abandoned
// ones included: a start waits for one while any of them is still working,
// and is refused at once while every one of them is abandoned.
//
// Used by the loop thread only; the threads share nothing else with it.
class ConfigReaders {
 public:
  static constexpr std::size_t THREAD_LIMIT = 4;
  // A read's time, the same as a connection's read budget.
  static constexpr std::chrono::seconds TIME_LIMIT{2};

  class Read;

  enum class Room {
    Free,       // a thread can start now
    Busy,       // every thread is taken, and one is still working
    Exhausted,  // every thread is taken, and all are abandoned
  };

  // The error is the system error text alone.
  static Result<ConfigReaders> create();

  Room room() const;
  // Starts reading `config` as `requester`, or with the service's own rights
  // without one, until `deadline`. Call with Room::Free; fails only when no
  // thread starts (the directory step's message).
  Result<std::shared_ptr<Read>> start(const service_ipc::ServiceRunnerCoreLaunchConfig& config,
                                      const std::optional<platform::PeerCredentials>& requester,
                                      std::chrono::steady_clock::time_point deadline);

  // Readable once a read has finished since the last drain.
  int ready_fd() const { return shared_->wake.wait_fd(); }
  void drain() const { shared_->wake.drain(); }

 private:
  struct Shared {
    explicit Shared(sys::WakePipe pipe) : wake(std::move(pipe)) {}
    sys::WakePipe wake;
    std::atomic<std::size_t> threads{0};
    std::atomic<std::size_t> abandoned{0};
  };
  explicit ConfigReaders(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

  std::shared_ptr<Shared> shared_;
};

// One read under way, shared by the loop and the thread doing it.
class ConfigReaders::Read {
 public:
  using Clock = std::chrono::steady_clock;

  Read(std::shared_ptr<Shared> shared, Clock::time_point deadline)
      : shared_(std::move(shared)), deadline_(deadline) {}

  // The digested bytes or the read's failure, once the thread has finished.
  std::optional<Result<std::string>> take();
  // Gives up on a read past its time: what it came to if it finished just
  // now, otherwise the failure of the step it is stuck at, timed out. The
  // thread then keeps nothing it reads.
  Result<std::string> abandon();
  Clock::time_point deadline() const { return deadline_; }

 private:
  friend class ConfigReaders;
  // From the thread: keeps `outcome` unless the read was abandoned, and
  // tells whether it was.
  bool finish(Result<std::string> outcome);

  const std::shared_ptr<Shared> shared_;
  const Clock::time_point deadline_;
  std::atomic<ConfigReadStep> step_{ConfigReadStep::Directory};
  std::mutex mutex_;
  std::optional<Result<std::string>> outcome_;
  bool abandoned_ = false;
};

}  // namespace app_lib::service_runner
