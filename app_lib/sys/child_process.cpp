#include "app_lib/sys/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <utility>

#include "app_lib/sys/child_process_platform.h"
#include "app_lib/sys/sys_error.h"

extern char** environ;

namespace app_lib::sys {
namespace {

// posix_spawn's two option objects share one life cycle: initialising may
// fail, and only an object that was initialised may be destroyed.
template <class T, int (*Init)(T*), int (*Destroy)(T*)>
class SpawnOptions {
 public:
  SpawnOptions() : error_(Init(&object_)) {}
  ~SpawnOptions() {
    if (error_ == 0) Destroy(&object_);
  }
  SpawnOptions(const SpawnOptions&) = delete;
  SpawnOptions& operator=(const SpawnOptions&) = delete;
  int init_error() const { return error_; }
  T& get() { return object_; }

 private:
  T object_;
  int error_ = 0;
};

using SpawnFileActions = SpawnOptions<posix_spawn_file_actions_t, &::posix_spawn_file_actions_init,
                                      &::posix_spawn_file_actions_destroy>;
using SpawnAttributes =
    SpawnOptions<posix_spawnattr_t, &::posix_spawnattr_init, &::posix_spawnattr_destroy>;

int null_standard_streams(posix_spawn_file_actions_t& actions, int standard_input) {
  static constexpr char kNull[] = "/dev/null";
  // dup2 clears close-on-exec on the copy, and a descriptor a file action
  // makes is one POSIX_SPAWN_CLOEXEC_DEFAULT keeps.
  if (int rc = standard_input >= 0
                   ? ::posix_spawn_file_actions_adddup2(&actions, standard_input, 0)
                   : ::posix_spawn_file_actions_addopen(&actions, 0, kNull, O_RDONLY, 0)) {
    return rc;
  }
  if (int rc = ::posix_spawn_file_actions_addopen(&actions, 1, kNull, O_WRONLY, 0)) return rc;
  return ::posix_spawn_file_actions_addopen(&actions, 2, kNull, O_WRONLY, 0);
}

// The service blocks SIGTERM and SIGINT for its signal thread and ignores
// SIGPIPE; a child inheriting either would shrug off termination requests and
// die oddly on a closed pipe, so it starts from a clean slate: an ignored
// disposition survives exec (signal(7); XNU bsd/kern/kern_sig.c execsigs
// resets only caught ones), and the spawn applies both attributes in the
// child (XNU bsd/kern/kern_exec.c posix_spawn: the mask, then setsigvec
// with SIG_DFL for each signal of the set).
int clean_signal_state(posix_spawnattr_t& attributes, short& flags) {
  sigset_t empty;
  sigemptyset(&empty);
  sigset_t defaults;
  sigfillset(&defaults);
  sigdelset(&defaults, SIGKILL);
  sigdelset(&defaults, SIGSTOP);
  if (int rc = ::posix_spawnattr_setsigmask(&attributes, &empty)) return rc;
  if (int rc = ::posix_spawnattr_setsigdefault(&attributes, &defaults)) return rc;
  flags |= POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  return 0;
}

}  // namespace

// A child collected by someone else (the kernel does that itself while
// SIGCHLD is ignored, waitpid(2)) is gone for good: its id is never used
// again, since another process may hold it by now.
std::unexpected<std::string> ChildProcess::collect_failed(int error) {
  if (error == ECHILD) forget();
  return fail(sys_error_text(error));
}

Result<ChildProcess> ChildProcess::spawn(const std::filesystem::path& program,
                                         const std::vector<std::string>& arguments,
                                         int standard_input) {
  SpawnFileActions actions;
  if (actions.init_error() != 0) return fail(sys_error_text(actions.init_error()));
  SpawnAttributes attributes;
  if (attributes.init_error() != 0) return fail(sys_error_text(attributes.init_error()));

  short flags = 0;
  if (int rc = null_standard_streams(actions.get(), standard_input)) return fail(sys_error_text(rc));
  if (int rc = detail::close_other_descriptors_in_child(actions.get(), flags)) {
    return fail(sys_error_text(rc));
  }
  if (int rc = clean_signal_state(attributes.get(), flags)) return fail(sys_error_text(rc));
  if (int rc = ::posix_spawnattr_setflags(&attributes.get(), flags)) {
    return fail(sys_error_text(rc));
  }

  std::vector<std::string> storage;
  storage.reserve(arguments.size() + 1);
  storage.push_back(program.native());
  storage.insert(storage.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  argv.reserve(storage.size() + 1);
  for (std::string& argument : storage) argv.push_back(argument.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, storage.front().c_str(), &actions.get(), &attributes.get(),
                               argv.data(), environ);
  if (rc != 0) return fail(sys_error_text(rc));
  return ChildProcess(pid, UniqueFd(detail::pin_child(pid)));
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      pin_(std::move(other.pin_)),
      status_(std::exchange(other.status_, std::nullopt)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    pid_ = std::exchange(other.pid_, -1);
    pin_ = std::move(other.pin_);
    status_ = std::exchange(other.status_, std::nullopt);
  }
  return *this;
}

void ChildProcess::forget() {
  pid_ = -1;
  pin_.reset();
}

Result<std::optional<int>> ChildProcess::try_wait() {
  if (status_) return status_;
  // waitpid(-1) or kill(-1) would reach every child or every process.
  if (pid_ <= 0) return fail(sys_error_text(ECHILD));
  int status = 0;
  pid_t rc;
  do {
    rc = detail::wait_child(pid_, pin_.get(), WNOHANG, status);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) return collect_failed(errno);
  if (rc == 0) return std::optional<int>();
  status_ = status;
  return status_;
}

Result<void> ChildProcess::kill() {
  if (status_) return {};
  if (pid_ <= 0) return fail(sys_error_text(ESRCH));
  if (const int error = detail::kill_child(pid_, pin_.get()); error != 0) {
    return fail(sys_error_text(error));
  }
  return {};
}

Result<int> ChildProcess::wait() {
  if (status_) return *status_;
  if (pid_ <= 0) return fail(sys_error_text(ECHILD));
  int status = 0;
  pid_t rc;
  do {
    rc = detail::wait_child(pid_, pin_.get(), 0, status);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) return collect_failed(errno);
  status_ = status;
  return status;
}

}  // namespace app_lib::sys
