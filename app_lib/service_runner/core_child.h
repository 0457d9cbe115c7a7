#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "app_lib/sys/child_process.h"
#include "app_lib/sys/result.h"

namespace app_lib::service_runner {

// The record of the running (or last started, not yet collected) core.
// Destroying it never signals or waits for the process.
struct ServiceCoreChildState {
  std::string controller_host;
  sys::ChildProcess child;
  std::uint16_t controller_port = 0;
};

// The process-wide core slot. Thread-safety: every operation holds `mutex`
// from its first look at the record to its last change. If a locked section is
// left by an exception, the slot is marked broken for the life of the process
// and every later lock attempt fails.
class ServiceCoreChildSlot {
 public:
  // Runs `fn(std::optional<ServiceCoreChildState>&)` under the lock and returns
  // its result. Fails with the lock error when the slot is broken; marks the
  // slot broken (and fails) when `fn` throws.
  template <class Fn>
  auto with_lock(Fn&& fn)
      -> Result<std::invoke_result_t<Fn, std::optional<ServiceCoreChildState>&>>;

  bool broken() const;

 private:
  friend class ServiceCoreChildSlotTestPeer;

  mutable std::mutex mutex_;
  bool broken_ = false;                          // guarded by mutex_
  std::optional<ServiceCoreChildState> record_;  // guarded by mutex_
};

// Created on first use (thread-safe), never destroyed.
ServiceCoreChildSlot& SERVICE_CORE_CHILD();

// The message of a broken slot, for every operation that finds it so.
std::string core_slot_lock_error();

template <class Fn>
auto ServiceCoreChildSlot::with_lock(Fn&& fn)
    -> Result<std::invoke_result_t<Fn, std::optional<ServiceCoreChildState>&>> {
  using Value = std::invoke_result_t<Fn, std::optional<ServiceCoreChildState>&>;
  std::lock_guard<std::mutex> guard(mutex_);
  if (broken_) return fail(core_slot_lock_error());
  // The one place an exception is caught on purpose: a section that did not
  // finish may have left the record half-changed, so the slot is not trusted again.
  try {
    if constexpr (std::is_void_v<Value>) {
      std::forward<Fn>(fn)(record_);
      return {};
    } else {
      return std::forward<Fn>(fn)(record_);
    }
  } catch (...) {
    broken_ = true;
    return fail(core_slot_lock_error());
  }
}

}  // namespace app_lib::service_runner
