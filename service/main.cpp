#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <thread>
#include <utility>

#include "app_lib/app_lib.h"
#include "app_lib/service_transport/connection_closer.h"
#include "app_lib/sys/result.h"
#include "app_lib/sys/sys_error.h"

namespace nimbletrace_service {
namespace {

void write_stderr_line(const std::string& text) {
  std::string line = text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

// The termination signals, blocked in every thread and taken by the signal
// thread with sigwait. Blocking them before any thread starts means no runner
// code ever runs in signal context, a signal that arrives before the thread
// waits stays pending instead of being lost, and signals after the first one
// stay pending forever: they neither start a second shutdown nor kill the
// process while the first shutdown runs to its end.
class SignalRegistration {
 public:
  static app_lib::Result<SignalRegistration> install() {
    SignalRegistration registration;
    sigemptyset(&registration.set_);
    sigaddset(&registration.set_, SIGTERM);
    sigaddset(&registration.set_, SIGINT);
    // A parent may have started us with either signal ignored, and an
    // ignored disposition survives exec. Linux keeps a blocked signal pending
    // whatever its disposition, but XNU discards a signal that is ignored
    // even while it is blocked (psignal_internal in bsd/kern/kern_sig.c,
    // xnu-7195 to xnu-11417), so
    // sigwait would never see it. The default disposition never acts while
    // the signal stays blocked, as it does in every thread from here on.
    // SIGCHLD likewise: while it is ignored both kernels collect children
    // themselves (XNU bsd/kern/kern_sig.c setsigvec sets P_NOCLDWAIT;
    // waitpid(2)), and the core's exit could no longer be told.
    for (const int signal_number : {SIGTERM, SIGINT, SIGCHLD}) {
      if (::signal(signal_number, SIG_DFL) == SIG_ERR) {
        return app_lib::fail(app_lib::sys::last_sys_error_text());
      }
    }
    if (const int rc = ::pthread_sigmask(SIG_BLOCK, &registration.set_, nullptr); rc != 0) {
      return app_lib::fail(app_lib::sys::sys_error_text(rc));
    }
    return registration;
  }

  // Blocks until SIGTERM or SIGINT; false if waiting failed.
  bool wait() const {
    while (true) {
      int signal_number = 0;
      const int rc = ::sigwait(&set_, &signal_number);
      // macOS's sigwait answers 0 without storing a signal when the kernel's
      // wait was interrupted (libpthread src/pthread_cancelable.c, sigwait,
      // libpthread-454 onwards); glibc retries EINTR itself. Only a signal of
      // the set ends the wait.
      if (rc == 0 && signal_number != 0 && sigismember(&set_, signal_number) == 1) return true;
      if (rc != 0 && rc != EINTR) return false;
    }
  }

 private:
  sigset_t set_{};
};

void signal_thread_main(SignalRegistration registration) {
  if (registration.wait()) app_lib::request_service_runner_shutdown();
}

}  // namespace

int main() {
  // A client that hangs up before reading its answer must not kill the service.
  ::signal(SIGPIPE, SIG_IGN);

  auto registration = SignalRegistration::install();
  if (!registration) {
    write_stderr_line("failed to install macOS service signal handlers: " + registration.error());
    return 1;
  }
  try {
    std::thread(signal_thread_main, std::move(*registration)).detach();
  } catch (const std::exception& error) {
    write_stderr_line(std::string("nimbletrace-service cannot start its signal thread: ") +
                      error.what());
    std::abort();
  }

  if (auto result = app_lib::run_embedded_service_runner_loop(); !result) {
    write_stderr_line("nimbletrace-service failed: " + result.error());
    return 1;
  }
  return 0;
}

}  // namespace nimbletrace_service

int main(int argc, char** argv) {
  // The one argument the binary knows is the one it gives itself when it
  // starts the helper that closes connections for it.
  if (argc == 2 && argv[1] == app_lib::service_transport::CONNECTION_CLOSER_ROLE) {
    return app_lib::service_transport::run_connection_closer(STDIN_FILENO);
  }
  return nimbletrace_service::main();
}
