#pragma once

#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <expected>
#include <optional>
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

// Waits until `fd` is readable, or writable, or `deadline` passes; expiry
// fails with the would-block error (EAGAIN), as an expired SO_RCVTIMEO does.
SocketResult<void> wait_readable(int fd, Deadline deadline);
SocketResult<void> wait_writable(int fd, Deadline deadline);

// One send of as much of `data` as the socket takes now; 0 when it takes
// nothing. `fd` must be non-blocking: macOS's send ignores MSG_DONTWAIT, so
// on a blocking socket one send could sleep out a whole SO_SNDTIMEO.
SocketResult<std::size_t> send_some(int fd, std::string_view data);

// Blocking counterparts, bounded only by the socket's own timeouts.
SocketResult<std::size_t> receive_some(int fd, char* buffer, std::size_t size);
SocketResult<void> send_all(int fd, std::string_view data);

// connect(2) that survives an interrupting signal: the connection attempt goes
// on and is waited for without a time limit.
SocketResult<void> connect_socket(int fd, const sockaddr* address, socklen_t length);

// Reads one line through an 8192-byte buffer: up to and including the first
// line feed, up to end of stream, or until `cap` bytes have been read in
// total. Bytes after the line feed are dropped unexamined. A returned view
// lives as long as the reader and the buffer; a line that arrives in one read
// is never copied. The buffer is the caller's, so that connections read side
// by side share one and keep only what they have read so far.
class LineReader {
 public:
  static constexpr std::size_t BUFFER_SIZE = 8192;
  using Buffer = std::array<char, BUFFER_SIZE>;

  // Reads as far as `read_some` gives bytes. Its would-block error (EAGAIN)
  // means nothing more is there yet: the call then returns nullopt, keeps
  // what it read, and the next call goes on from there.
  template <class ReadSome>
  SocketResult<std::optional<std::string_view>> read_more(ReadSome&& read_some, std::size_t cap,
                                                          Buffer& buffer) {
    while (total_ < cap) {
      const std::size_t want = cap - total_ < buffer.size() ? cap - total_ : buffer.size();
      SocketResult<std::size_t> got = read_some(buffer.data(), want);
      if (!got) {
        if (got.error().code == EAGAIN || got.error().code == EWOULDBLOCK) return std::nullopt;
        return std::unexpected(got.error());
      }
      if (*got == 0) break;
      total_ += *got;
      const void* feed = std::memchr(buffer.data(), '\n', *got);
      const std::size_t keep =
          feed == nullptr ? *got : static_cast<const char*>(feed) - buffer.data() + 1;
      if (feed != nullptr && spill_.empty()) return std::string_view(buffer.data(), keep);
      spill_.append(buffer.data(), keep);
      if (feed != nullptr) break;
    }
    return std::string_view(spill_);
  }

  // For a `read_some` that waits itself: its would-block error is a timeout.
  template <class ReadSome>
  SocketResult<std::string_view> read_line(ReadSome&& read_some, std::size_t cap, Buffer& buffer) {
    auto line = read_more(read_some, cap, buffer);
    if (!line) return std::unexpected(line.error());
    if (!*line) return std::unexpected(SocketError{EAGAIN});
    return **line;
  }

 private:
  std::size_t total_ = 0;
  std::string spill_;
};

}  // namespace app_lib::service_transport
