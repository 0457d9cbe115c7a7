#pragma once

#include <sys/types.h>

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <type_traits>
#include <vector>

#include "app_lib/platform/process_identity.h"
#include "app_lib/sys/result.h"
#include "app_lib/sys/sys_error.h"

namespace app_lib::platform {

// While alive, the calling thread opens, resolves and reads files with the
// rights of a peer instead of the service's own, so a root service never
// reads a file on behalf of someone who could not read it themselves. Only
// the calling thread changes: the signal thread and the process as a whole
// keep their credentials (Linux: per-thread fsuid, fsgid, groups and
// effective capabilities through the raw system calls, never glibc's
// process-wide wrappers; macOS: pthread_setugid_np and setgroups, which
// apply to the thread's credential while it has assumed one).
//
// Destruction gives the thread back its own credentials as far as it can. A
// thread that could not get them back is left with the peer's rights, no
// more, so use this only on a thread that ends with it: with_peer_credentials
// below. Move-only, and must be destroyed on the thread that created it.
class ScopedThreadCredentials {
 public:
  // The error is the system error text alone.
  static Result<ScopedThreadCredentials> assume(const PeerCredentials& peer);

  ScopedThreadCredentials(ScopedThreadCredentials&& other) noexcept;
  ScopedThreadCredentials& operator=(ScopedThreadCredentials&&) = delete;
  ScopedThreadCredentials(const ScopedThreadCredentials&) = delete;
  ScopedThreadCredentials& operator=(const ScopedThreadCredentials&) = delete;
  ~ScopedThreadCredentials();

  // Gives the thread back its own credentials now; false if it could not, and
  // the thread should then end without doing anything more.
  bool restore() noexcept;

 private:
  ScopedThreadCredentials() = default;
  bool restore_platform() noexcept;

  bool active_ = false;
  // What to restore (Linux); unused where the platform restores by itself.
  uid_t saved_uid_ = 0;
  gid_t saved_gid_ = 0;
  std::vector<gid_t> saved_groups_;
  std::uint32_t saved_effective_capabilities_[2] = {0, 0};
};

// Runs `work` (a callable returning Result<T>) on a thread of its own that
// first takes on the peer's rights, and waits for it. The outer error says
// that the rights could not be taken on, or no thread could be started (the
// system error text alone); the inner result is the work's. The calling
// thread's credentials are never touched, and whatever becomes of the
// worker's (a revert the kernel refuses) ends with the worker: a client can
// neither leave the service acting with its rights nor make it abort.
template <class Work>
auto with_peer_credentials(const PeerCredentials& peer, Work&& work)
    -> Result<std::invoke_result_t<Work&>> {
  using Outcome = std::invoke_result_t<Work&>;
  std::optional<Result<Outcome>> outcome;
  // Whatever the work throws (an allocation that fails) is thrown again
  // here, where the caller's handlers can see it.
  std::exception_ptr thrown;
  try {
    std::thread worker([&]() noexcept {
      try {
        auto assumed = ScopedThreadCredentials::assume(peer);
        if (!assumed) {
          outcome.emplace(fail(std::move(assumed.error())));
          return;
        }
        outcome.emplace(work());
        (void)assumed->restore();
      } catch (...) {
        thrown = std::current_exception();
      }
    });
    worker.join();
  } catch (const std::system_error& error) {
    return fail(sys::sys_error_text(error.code().value()));
  }
  if (thrown) std::rethrow_exception(thrown);
  return std::move(*outcome);
}

}  // namespace app_lib::platform
