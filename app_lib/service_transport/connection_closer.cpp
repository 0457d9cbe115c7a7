#include "app_lib/service_transport/connection_closer.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "app_lib/platform/socket_flags.h"
#include "app_lib/service_transport/transport.h"
#include "app_lib/sys/descriptor_limit.h"

namespace app_lib::service_transport {
namespace {

using Clock = std::chrono::steady_clock;

void write_stderr_line(const std::string& text) {
  const std::string line = text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

// The most descriptors one SCM_RIGHTS message carries: 253 on Linux
// (include/net/scm.h, SCM_MAX_FD), 512 on XNU (bsd/kern/uipc_usrreq.c,
// UIPC_MAX_CMSG_FD). Room for all of them, since Linux releases what does
// not fit in the reading thread (scm_detach_fds).
constexpr std::size_t MAX_RIGHTS = 512;
// Threads of the helper that close. A close that lingers anyway (see
// take_queued) holds one of them; the others go on.
constexpr int CLOSER_THREADS = 4;
// Descriptors the helper has taken but not yet closed; past it the helper
// stops reading its channel and the service holds connections instead.
constexpr std::size_t QUEUE_LIMIT = 64;
// Reads and accepts per socket: what an attacker keeps sending or connecting
// cannot hold a thread for ever.
constexpr int TAKE_LIMIT = 4096;

// Moves every descriptor of an SCM_RIGHTS message into `out`.
void collect_rights(msghdr& message, std::vector<sys::UniqueFd>& out) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (std::size_t i = 0; i < count; ++i) {
      int fd = -1;
      std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
      if (fd >= 0) out.emplace_back(fd);
    }
  }
}

// Takes out what is queued on a connected Unix socket, descriptors into
// `out`, bytes dropped, until nothing more is there.
void take_queued(int fd, std::vector<sys::UniqueFd>& out) {
  static thread_local std::array<char, 65536> data;
  alignas(cmsghdr) std::array<char, CMSG_SPACE(MAX_RIGHTS * sizeof(int))> control;
  for (int i = 0; i < TAKE_LIMIT; ++i) {
    iovec part{data.data(), data.size()};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control.data();
    message.msg_controllen = static_cast<socklen_t>(control.size());
    const ssize_t got = ::recvmsg(fd, &message, MSG_DONTWAIT);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return;
    const std::size_t before = out.size();
    collect_rights(message, out);
    // The end of the stream, unless rights came with no bytes (XNU can queue
    // such a record). Other control data, the writer's credentials where
    // SO_PASSCRED is on, comes with every read, the last one included.
    if (got == 0 && out.size() == before) return;
  }
}

bool socket_family(int fd, sa_family_t& family) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return false;
  family = address.ss_family;
  return true;
}

bool is_listening(int fd) {
  int value = 0;
  socklen_t length = sizeof value;
  return ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &value, &length) == 0 && value != 0;
}

// Closes `first` and everything queued behind it so that no close here
// waits on a peer. A Unix socket is emptied before and after its reading
// side is shut: on Linux shutdown only forbids further sends
// (unix_stream_sendmsg fails once the peer has RCV_SHUTDOWN), and the second
// pass takes what came before it; on XNU shutdown(SHUT_RD) flushes what is
// left (soshutdownlock_final -> sorflush, xnu-7195 to xnu-11417) and sets
// SB_DROP, "a barrier to prevent further appends", so only what a sender
// slipped in between the first pass and the shutdown is released in this
// thread, still with its linger. Every other socket gets its lingering
// turned off first, so its close returns at once.
void dispose(sys::UniqueFd first) {
  std::vector<sys::UniqueFd> work;
  work.push_back(std::move(first));
  while (!work.empty()) {
    sys::UniqueFd item = std::move(work.back());
    work.pop_back();
    sa_family_t family = AF_UNSPEC;
    if (!socket_family(item.get(), family)) continue;
    if (family == AF_UNIX) {
      if (is_listening(item.get())) {
        // The service's listener at shutdown: what waits in its queue is
        // taken as connections and emptied like any other.
        sys::set_nonblocking(item.get());
        for (int i = 0; i < TAKE_LIMIT; ++i) {
          const int accepted = ::accept(item.get(), nullptr, nullptr);
          if (accepted < 0 && errno == EINTR) continue;
          if (accepted < 0) break;
          work.emplace_back(accepted);
        }
      } else {
        take_queued(item.get(), work);
        ::shutdown(item.get(), SHUT_RD);
        take_queued(item.get(), work);
      }
    } else {
      const linger off{0, 0};
      ::setsockopt(item.get(), SOL_SOCKET, SO_LINGER, &off, sizeof off);
    }
  }
}

// The descriptors the channel has delivered and the closing threads have not
// yet taken. Thread-safe.
class WorkQueue {
 public:
  // Blocks while full, so that a helper whose threads are all held stops
  // reading its channel.
  void push(sys::UniqueFd fd) {
    std::unique_lock lock(mutex_);
    room_.wait(lock, [&] { return queue_.size() < QUEUE_LIMIT; });
    queue_.push_back(std::move(fd));
    ready_.notify_one();
  }
  std::optional<sys::UniqueFd> pop() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [&] { return !queue_.empty() || closed_; });
    if (queue_.empty()) return std::nullopt;
    sys::UniqueFd fd = std::move(queue_.front());
    queue_.pop_front();
    room_.notify_one();
    return fd;
  }
  void close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    ready_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable room_;
  std::deque<sys::UniqueFd> queue_;
  bool closed_ = false;
};

}  // namespace

ConnectionCloser::ConnectionCloser(std::filesystem::path program,
                                   std::vector<std::string> arguments)
    : program_(std::move(program)), arguments_(std::move(arguments)) {
  start_helper();
}

ConnectionCloser::~ConnectionCloser() {
  const auto deadline = Clock::now() + SERVICE_CONNECTION_TIMEOUT;
  for (;;) {
    pump();
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (held_.empty() || left.count() <= 0) break;
    pollfd entry{channel_.get(), POLLOUT, 0};
    const auto wait = std::min(left, until_restart());
    ::poll(&entry, 1, static_cast<int>(std::max<long long>(wait.count(), 1)));
  }
  // What the helper never took goes with this process: its exit closes them
  // (on Linux without lingering: inet_release skips the linger of an exiting
  // task), never a close in this thread.
  for (sys::UniqueFd& fd : held_) (void)fd.release();
  // The helper reads to the end of its channel, closes what it was given
  // and exits; it is not waited for.
  channel_.reset();
}

void ConnectionCloser::start_helper() {
  last_start_ = Clock::now();
  int ends[2] = {-1, -1};
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) {
    write_stderr_line("nimbletrace-service cannot start its connection closer: " +
                      std::string(std::strerror(errno)));
    return;
  }
  sys::UniqueFd ours(ends[0]);
  sys::UniqueFd theirs(ends[1]);
  sys::set_close_on_exec(ours.get());
  sys::set_close_on_exec(theirs.get());
  sys::set_nonblocking(ours.get());
  platform::suppress_sigpipe(ours.get());
  auto child = sys::ChildProcess::spawn(program_, arguments_, theirs.get());
  if (!child) {
    write_stderr_line("nimbletrace-service cannot start its connection closer: " + child.error());
    return;
  }
  helper_.emplace(std::move(*child));
  channel_ = std::move(ours);
}

void ConnectionCloser::lose_helper() {
  channel_.reset();
  if (helper_) {
    (void)helper_->kill();
    ended_.push_back(std::move(*helper_));
    helper_.reset();
  }
}

bool ConnectionCloser::send_one(int fd) {
  if (!channel_) return false;
  char byte = 0;
  iovec part{&byte, 1};
  alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(int))> control{};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control.data();
  message.msg_controllen = static_cast<socklen_t>(control.size());
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
  ssize_t sent = -1;
  do {
    sent = ::sendmsg(channel_.get(), &message, MSG_DONTWAIT | platform::no_sigpipe_send_flags());
  } while (sent < 0 && errno == EINTR);
  if (sent == 1) return true;
  if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)) return false;
  // The other end is gone or refuses: a helper that can no longer take
  // anything is replaced.
  lose_helper();
  return false;
}

void ConnectionCloser::release(sys::UniqueFd fd) {
  // Once sent, the message in flight holds its own reference, and the
  // helper closes its copy only after the connection's queue has been
  // emptied and shut: the close here never drops anything a client sent.
  if (held_.empty() && send_one(fd.get())) return;
  held_.push_back(std::move(fd));
  if (!has_room() && !said_full_) {
    said_full_ = true;
    write_stderr_line(
        "nimbletrace-service: the connection closer is not keeping up; accepting paused");
  }
}

void ConnectionCloser::pump() {
  std::erase_if(ended_, [](sys::ChildProcess& child) {
    auto status = child.try_wait();
    return !status || status->has_value();
  });
  if (helper_) {
    auto status = helper_->try_wait();
    if (!status || status->has_value()) lose_helper();
  }
  if (!helper_ && Clock::now() - last_start_ >= RESTART_INTERVAL) start_helper();
  while (!held_.empty() && send_one(held_.front().get())) held_.pop_front();
  if (has_room()) said_full_ = false;
}

std::chrono::milliseconds ConnectionCloser::until_restart() const {
  if (helper_) return std::chrono::milliseconds(RESTART_INTERVAL);
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(last_start_ + RESTART_INTERVAL -
                                                                 Clock::now());
  return std::max(left, std::chrono::milliseconds(0));
}

int run_connection_closer(int channel) {
  // A terminal's ctrl-c reaches the whole process group; the helper ends
  // when the service closes the channel, after closing what it was given.
  ::signal(SIGINT, SIG_IGN);
  ::signal(SIGTERM, SIG_IGN);
  ::signal(SIGPIPE, SIG_IGN);
  // Every descriptor taken out of a connection must fit: one that does not
  // is released in the reading thread.
  sys::raise_descriptor_limit();

  WorkQueue queue;
  std::vector<std::thread> closers;
  for (int i = 0; i < CLOSER_THREADS; ++i) {
    try {
      closers.emplace_back([&queue] {
        while (auto fd = queue.pop()) dispose(std::move(*fd));
      });
    } catch (...) {
      break;
    }
  }
  for (;;) {
    char byte = 0;
    iovec part{&byte, 1};
    alignas(cmsghdr) std::array<char, CMSG_SPACE(MAX_RIGHTS * sizeof(int))> control;
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control.data();
    message.msg_controllen = static_cast<socklen_t>(control.size());
    const ssize_t got = ::recvmsg(channel, &message, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    std::vector<sys::UniqueFd> fds;
    collect_rights(message, fds);
    for (sys::UniqueFd& fd : fds) {
      if (closers.empty()) {
        dispose(std::move(fd));
      } else {
        queue.push(std::move(fd));
      }
    }
  }
  queue.close();
  for (std::thread& closer : closers) closer.join();
  return 0;
}

}  // namespace app_lib::service_transport
