#include "app_lib/service_transport/socket_io.h"

#include <poll.h>
#include <sys/time.h>

#include <cerrno>
#include <climits>
#include <ctime>
#include <limits>

#include "app_lib/platform/socket_flags.h"
#include "app_lib/sys/sys_error.h"

namespace app_lib::service_transport {
namespace {

bool would_block(int error) {
  return error == EAGAIN || error == EWOULDBLOCK;
}

std::unexpected<SocketError> socket_error(int code) {
  return std::unexpected(SocketError{code});
}

std::unexpected<SocketError> last_socket_error() {
  return socket_error(errno);
}

// Waits until `fd` is ready for `events` or the deadline passes.
SocketResult<void> wait_ready(int fd, short events, Deadline deadline) {
  for (;;) {
    const int ms = deadline.remaining_ms();
    if (ms == 0) return socket_error(EAGAIN);
    pollfd entry{fd, events, 0};
    const int rc = ::poll(&entry, 1, ms);
    if (rc > 0) return {};
    if (rc < 0 && errno != EINTR) return last_socket_error();
  }
}

}  // namespace

std::string SocketError::text() const {
  return sys::sys_error_text(code);
}

int Deadline::remaining_ms() const {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(at_ - std::chrono::steady_clock::now());
  if (left.count() <= 0) return 0;
  if (left.count() >= INT_MAX) return INT_MAX;
  return static_cast<int>(left.count());
}

void set_io_timeouts(int fd, std::chrono::nanoseconds limit) {
  if (limit <= std::chrono::nanoseconds::zero()) return;
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(limit);
  timeval tv{};
  if (seconds.count() >= std::numeric_limits<decltype(tv.tv_sec)>::max()) {
    tv.tv_sec = std::numeric_limits<decltype(tv.tv_sec)>::max();
  } else {
    tv.tv_sec = static_cast<decltype(tv.tv_sec)>(seconds.count());
    tv.tv_usec = static_cast<decltype(tv.tv_usec)>(
        std::chrono::duration_cast<std::chrono::microseconds>(limit - seconds).count());
    // A positive limit below one microsecond must not turn into "no limit".
    if (tv.tv_sec == 0 && tv.tv_usec == 0) tv.tv_usec = 1;
  }
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

SocketResult<void> wait_readable(int fd, Deadline deadline) {
  return wait_ready(fd, POLLIN, deadline);
}

SocketResult<void> wait_writable(int fd, Deadline deadline) {
  return wait_ready(fd, POLLOUT, deadline);
}

SocketResult<std::size_t> send_some(int fd, std::string_view data) {
  const int flags = platform::no_sigpipe_send_flags();
  for (;;) {
    const ssize_t sent = ::send(fd, data.data(), data.size(), flags);
    if (sent >= 0) return static_cast<std::size_t>(sent);
    if (errno == EINTR) continue;
    if (would_block(errno)) return 0;
    return last_socket_error();
  }
}

SocketResult<std::size_t> receive_some(int fd, char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t got = ::recv(fd, buffer, size, 0);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return last_socket_error();
  }
}

SocketResult<void> send_all(int fd, std::string_view data) {
  const int flags = platform::no_sigpipe_send_flags();
  while (!data.empty()) {
    const ssize_t sent = ::send(fd, data.data(), data.size(), flags);
    if (sent >= 0) {
      data.remove_prefix(static_cast<std::size_t>(sent));
    } else if (errno != EINTR) {
      return last_socket_error();
    }
  }
  return {};
}

SocketResult<void> connect_socket(int fd, const sockaddr* address, socklen_t length) {
  if (::connect(fd, address, length) == 0) return {};
  if (errno != EINTR) return last_socket_error();
  // Asking again tells only that the interrupted attempt exists: a Unix
  // socket may simply connect now, but for a TCP one still under way Linux
  // answers EALREADY and XNU EISCONN, the answer Linux keeps for a finished
  // connection (soconnectlock, bsd/kern/uipc_socket.c, xnu-7195 onwards). So
  // the outcome is always read from SO_ERROR once the socket is writable;
  // for a connection already made poll returns at once.
  if (::connect(fd, address, length) == 0) return {};
  if (errno != EISCONN && errno != EALREADY && errno != EINPROGRESS && errno != EINTR) {
    return last_socket_error();
  }
  for (;;) {
    pollfd entry{fd, POLLOUT, 0};
    const int rc = ::poll(&entry, 1, -1);
    if (rc > 0) break;
    if (rc < 0 && errno != EINTR) return last_socket_error();
  }
  int error = 0;
  socklen_t size = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return last_socket_error();
  if (error != 0) return socket_error(error);
  return {};
}

}  // namespace app_lib::service_transport
