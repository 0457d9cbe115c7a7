#include "app_lib/platform/thread_credentials.h"

#include <unistd.h>

#include <cstdlib>
#include <utility>

namespace app_lib::platform {

ScopedThreadCredentials::ScopedThreadCredentials(ScopedThreadCredentials&& other) noexcept
    : active_(std::exchange(other.active_, false)),
      saved_uid_(other.saved_uid_),
      saved_gid_(other.saved_gid_),
      saved_groups_(std::move(other.saved_groups_)) {}

ScopedThreadCredentials::~ScopedThreadCredentials() {
  if (!active_ || restore()) return;
  // Nothing that allocates or formats: the thread's rights are unknown now.
  static constexpr char kMessage[] =
      "nimbletrace-service cannot restore its own credentials; aborting\n";
  (void)!::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
  std::abort();
}

}  // namespace app_lib::platform
