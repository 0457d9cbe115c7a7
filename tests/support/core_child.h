#pragma once

// The core as the runner's own tests see it: the slot that holds it, and what
// the stand-in core reports about how it was started.

#include <filesystem>
#include <map>
#include <mutex>
#include <string>

#include "app_lib/service_runner/core_child.h"

namespace app_lib::service_runner {

// Gives each test an empty, healthy slot although the slot lives as long as
// the process.
class ServiceCoreChildSlotTestPeer {
 public:
  static void reset(ServiceCoreChildSlot& slot) {
    std::lock_guard<std::mutex> guard(slot.mutex_);
    slot.broken_ = false;
    if (slot.record_) {
      (void)slot.record_->child.kill();
      (void)slot.record_->child.wait();
      slot.record_.reset();
    }
  }
};

}  // namespace app_lib::service_runner

namespace nimbletrace_test {

// The report of the stand-in core (written where NIMBLETRACE_CORE_STUB_RECORD
// says): key=value lines, then "config:" and the configuration bytes.
// Repeated keys are joined with spaces. Empty if no report appeared in time.
std::map<std::string, std::string> await_stub_record(const std::filesystem::path& path);

}  // namespace nimbletrace_test
