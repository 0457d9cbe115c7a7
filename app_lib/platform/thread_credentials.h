#pragma once

#include <sys/types.h>

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

// Makes the calling thread open, resolve and read files with the rights of a
// peer instead of the service's own, for the rest of its life, so a root
// service never reads a file on behalf of someone who could not read it
// themselves. Only the calling thread changes: the signal thread and the
// process as a whole keep their credentials (Linux: per-thread fsuid, fsgid,
// groups and capabilities through the raw system calls, never glibc's
// process-wide wrappers; macOS: pthread_setugid_np, then the initgroups
// system call, which applies to the thread's credential while it has assumed
// one and has the directory service answer for the peer's other groups).
// Nothing is kept to go back to: call it only on a thread that ends with the
// work, with_peer_credentials below. The error is the system error text
// alone; on macOS it is also an error when the groups cannot be set, since
// the connect-time list alone could let a deny entry pass.
Result<void> assume_for_rest_of_thread(const PeerCredentials& peer);

// Runs `work` (a callable returning Result<T>) on a thread of its own that
// first takes on the peer's rights, and waits for it. The outer error says
// that the rights could not be taken on, or no thread could be started (the
// system error text alone); the inner result is the work's. The calling
// thread's credentials are never touched, and the worker's end with the
// worker, never reverted: a client can neither leave the service acting with
// its rights nor make it abort on a revert the kernel refuses.
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
        if (auto assumed = assume_for_rest_of_thread(peer); !assumed) {
          outcome.emplace(fail(std::move(assumed.error())));
          return;
        }
        // The peer's rights end with the thread: the kernel drops a
        // thread's credential when the thread is gone.
        outcome.emplace(work());
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
