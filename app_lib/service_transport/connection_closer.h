#pragma once

#include <chrono>
#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app_lib/sys/child_process.h"
#include "app_lib/sys/fd.h"
#include "app_lib/sys/result.h"

namespace app_lib::service_transport {

// The argument that starts the service binary as the closer's helper.
inline constexpr std::string_view CONNECTION_CLOSER_ROLE = "--connection-closer";

// Where a client can send descriptors over its connection (macOS; Linux
// without SO_PASSRIGHTS), whoever drops the last reference to the
// connection also drops the last references to whatever is still queued on
// it, and a TCP socket with SO_LINGER makes that close wait up to the
// linger time, on XNU even through SIGKILL. So the loop never closes such a
// connection itself: it hands each one to a single long-lived helper
// process, which takes out what is queued, turns lingering off on every
// socket it finds, shuts the connection's reading side (after which the
// kernel queues nothing more on it) and only then closes it, on a bounded
// set of its own threads. Whichever close comes last then finds an empty
// queue.
//
// The service's side. Used by the loop thread only.
class ConnectionCloser {
 public:
  // Finished connections kept while the helper cannot take them; at the
  // limit the loop stops accepting until there is room again.
  static constexpr std::size_t HELD_LIMIT = 64;
  // A helper that died is started again at most this often.
  static constexpr std::chrono::seconds RESTART_INTERVAL{1};

  // `program` and `arguments` run the helper role (run_connection_closer
  // with its channel as standard input). A helper that cannot be started
  // now is retried at the restart interval; meanwhile connections are held.
  explicit ConnectionCloser(std::filesystem::path program, std::vector<std::string> arguments);
  ConnectionCloser(const ConnectionCloser&) = delete;
  ConnectionCloser& operator=(const ConnectionCloser&) = delete;
  // Gives the helper what is still held, for at most the connection
  // timeout, then lets it go: it closes what it has and exits.
  ~ConnectionCloser();

  // Takes the last reference this process holds to `fd` without ever
  // dropping it in the calling thread: one sendmsg to the helper, or a place
  // in the held list.
  void release(sys::UniqueFd fd);
  // Sends what is held, reaps and restarts a dead helper when it may.
  void pump();
  // False while the held list is full: accepting more would only add to it.
  bool has_room() const { return held_.size() < HELD_LIMIT; }
  bool holds_any() const { return !held_.empty(); }
  // Whether pump() has anything to do: connections held, a helper to start
  // again or one to collect.
  bool wants_pump() const { return !held_.empty() || !helper_ || !ended_.empty(); }
  // The channel to wait on: for room (POLLOUT) while holding, and at all
  // times for its hang-up, which is how the helper's death shows. -1 while
  // there is no helper.
  int channel_fd() const { return channel_.get(); }
  // The channel hung up: the helper is gone (or no longer reads), and is
  // replaced by the next pump() that may.
  void channel_hung_up() { lose_helper(); }
  // How long the caller may sleep before pump() can restart the helper.
  std::chrono::milliseconds until_restart() const;
  // The helper's process id, -1 while there is none.
  pid_t helper_pid() const { return helper_ ? helper_->pid() : -1; }

 private:
  void start_helper();
  void lose_helper();
  // One sendmsg; false when the helper cannot take it now.
  bool send_one(int fd);

  std::filesystem::path program_;
  std::vector<std::string> arguments_;
  sys::UniqueFd channel_;
  std::optional<sys::ChildProcess> helper_;
  // Helpers that were given up on, until they have been collected.
  std::vector<sys::ChildProcess> ended_;
  std::deque<sys::UniqueFd> held_;
  std::chrono::steady_clock::time_point last_start_{};
  bool said_full_ = false;
};

// The helper role: takes descriptors from `channel` (one per message) and
// closes each as described above, until the service closes its end. Returns
// the process's exit status.
int run_connection_closer(int channel);

}  // namespace app_lib::service_transport
