#include "app_lib/platform/thread_credentials.h"

#include <algorithm>
#include <utility>

namespace app_lib::platform {

ScopedThreadCredentials::ScopedThreadCredentials(ScopedThreadCredentials&& other) noexcept
    : active_(std::exchange(other.active_, false)),
      saved_uid_(other.saved_uid_),
      saved_gid_(other.saved_gid_),
      saved_groups_(std::move(other.saved_groups_)) {
  std::copy(std::begin(other.saved_effective_capabilities_),
            std::end(other.saved_effective_capabilities_), saved_effective_capabilities_);
}

ScopedThreadCredentials::~ScopedThreadCredentials() {
  (void)restore();
}

bool ScopedThreadCredentials::restore() noexcept {
  if (!active_) return true;
  // Tried once: a second revert of what the kernel already refused to
  // revert could only fail again, or on macOS succeed at something else.
  active_ = false;
  return restore_platform();
}

}  // namespace app_lib::platform
