#pragma once

#include <sys/types.h>

#include <vector>

#include "app_lib/platform/process_identity.h"
#include "app_lib/sys/result.h"

namespace app_lib::platform {

// While alive, the calling thread opens, resolves and reads files with the
// rights of a peer instead of the service's own, so a root service never
// reads a file on behalf of someone who could not read it themselves. Only
// the calling thread changes: the signal thread and the process as a whole
// keep their credentials (Linux: per-thread fsuid, fsgid and groups through
// the raw system calls, never glibc's process-wide wrappers; macOS:
// pthread_setugid_np). Destruction restores the thread's own credentials;
// a thread that could not get them back cannot be trusted to go on, so the
// process aborts then. Move-only, and must be destroyed on the thread that
// created it.
class ScopedThreadCredentials {
 public:
  // The error is the system error text alone.
  static Result<ScopedThreadCredentials> assume(const PeerCredentials& peer);

  ScopedThreadCredentials(ScopedThreadCredentials&& other) noexcept;
  ScopedThreadCredentials& operator=(ScopedThreadCredentials&&) = delete;
  ScopedThreadCredentials(const ScopedThreadCredentials&) = delete;
  ScopedThreadCredentials& operator=(const ScopedThreadCredentials&) = delete;
  ~ScopedThreadCredentials();

 private:
  ScopedThreadCredentials() = default;
  // Gives the thread back its own credentials; false if it could not.
  bool restore() noexcept;

  bool active_ = false;
  // What to restore (Linux); unused where the platform restores by itself.
  uid_t saved_uid_ = 0;
  gid_t saved_gid_ = 0;
  std::vector<gid_t> saved_groups_;
};

}  // namespace app_lib::platform
