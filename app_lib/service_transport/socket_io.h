#pragma once

#include <sys/socket.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <expected>
#include <string>
#include <string_view>

// Socket reads and writes shared by the server stream and the client.
namespace app_lib::service_transport {

// Inside the socket layer a failure stays the system's error number, so a
// caller can act on which error it was (the client tells a peer that closed
// early from other failures). The transport turns it into text where it adds
// its own context.
struct SocketError {
  int code = 0;
  // The system error text alone.
  std::string text() const;
};

template <class T>
using SocketResult = std::expected<T, SocketError>;

// A point in time after which a connection gets no more waiting.
class Deadline {
 public:
  static Deadline after(std::chrono::nanoseconds budget) {
    return Deadline(std::chrono::steady_clock::now() + budget);
  }
  // Whole milliseconds left, rounded up so a wait never ends just short of the
  // deadline and spins; 0 once it has passed.
  int remaining_ms() const;

 private:
  explicit Deadline(std::chrono::steady_clock::time_point at) : at_(at) {}
  std::chrono::steady_clock::time_point at_;
};

// SO_RCVTIMEO then SO_SNDTIMEO. A limit of zero or less cannot be set and is
// skipped, leaving the socket without a limit; other failures are ignored too.
void set_io_timeouts(int fd, std::chrono::nanoseconds limit);

// One read of up to `size` bytes that waits no later than `deadline`, however
// the peer spreads its bytes. 0 means end of stream. Expiry fails with the
// would-block error (EAGAIN), as an expired SO_RCVTIMEO does. `fd` must be
// non-blocking: the waiting is done in poll, never inside recv.
SocketResult<std::size_t> receive_before(int fd, char* buffer, std::size_t size, Deadline deadline);

// Waits until `fd` is readable or `deadline` passes; expiry fails with the
// would-block error (EAGAIN).
SocketResult<void> wait_readable(int fd, Deadline deadline);

// Writes all of `data` by `deadline`, continuing partial writes; expiry fails
// as above. `fd` must be non-blocking: macOS's send ignores MSG_DONTWAIT, so
// on a blocking socket one send could sleep out a whole SO_SNDTIMEO however
// little of the budget is left.
SocketResult<void> send_all_before(int fd, std::string_view data, Deadline deadline);

// Blocking counterparts, bounded only by the socket's own timeouts.
SocketResult<std::size_t> receive_some(int fd, char* buffer, std::size_t size);
SocketResult<void> send_all(int fd, std::string_view data);

// connect(2) that survives an interrupting signal: the connection attempt goes
// on and is waited for without a time limit.
SocketResult<void> connect_socket(int fd, const sockaddr* address, socklen_t length);

// Reads one line through a fixed 8192-byte buffer: up to and including the
// first line feed, up to end of stream, or until `cap` bytes have been read in
// total. Bytes after the line feed are dropped unexamined. The returned view
// lives as long as the reader; a line that arrives in one read is never copied.
class LineReader {
 public:
  static constexpr std::size_t BUFFER_SIZE = 8192;

  template <class ReadSome>
  SocketResult<std::string_view> read_line(ReadSome&& read_some, std::size_t cap) {
    std::size_t total = 0;
    while (total < cap) {
      const std::size_t want = cap - total < buffer_.size() ? cap - total : buffer_.size();
      SocketResult<std::size_t> got = read_some(buffer_.data(), want);
      if (!got) return std::unexpected(got.error());
      if (*got == 0) break;
      total += *got;
      const void* feed = std::memchr(buffer_.data(), '\n', *got);
      const std::size_t keep =
          feed == nullptr ? *got : static_cast<const char*>(feed) - buffer_.data() + 1;
      if (feed != nullptr && spill_.empty()) return std::string_view(buffer_.data(), keep);
      spill_.append(buffer_.data(), keep);
      if (feed != nullptr) break;
    }
    return std::string_view(spill_);
  }

 private:
  std::array<char, BUFFER_SIZE> buffer_;
  std::string spill_;
};

}  // namespace app_lib::service_transport
