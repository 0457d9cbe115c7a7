#include <sys/socket.h>

#include <cerrno>
#include <optional>
#include <string>
#include <utility>

#include "app_lib/platform/peer_writes.h"
#include "app_lib/service_ipc/codec.h"
#include "app_lib/service_transport/connection_closer.h"
#include "app_lib/service_transport/socket_io.h"
#include "app_lib/service_transport/transport.h"
#include "app_lib/sys/text.h"

namespace app_lib::service_transport {
namespace {

// Room for a typical response, so encoding it allocates once.
constexpr std::size_t RESPONSE_INITIAL_CAPACITY = 128;

std::string write_failed(ServiceTransportForm form, const SocketError& error) {
  return (form == ServiceTransportForm::Unix ? "写入 Unix Socket 响应失败: " : "写入响应失败: ") +
         error.text();
}

// The request a line carries, or why it carries none: the read's failure,
// an oversize line, text that is not UTF-8, nothing but white space (TCP),
// or what the decoder refuses.
Result<service_ipc::ServiceRunnerRequest> request_of_line(
    ServiceTransportForm form, const SocketResult<std::string_view>& line) {
  const bool unix_form = form == ServiceTransportForm::Unix;
  if (!line) {
    return fail((unix_form ? "读取 Unix Socket 请求失败: " : "读取请求失败: ") +
                line.error().text());
  }
  if (line->size() > SERVICE_IPC_MESSAGE_LIMIT) {
    return fail(unix_form ? "ServiceRunner Unix Socket 消息超过 64KB 上限"
                          : "ServiceRunner TCP 消息超过 64KB 上限");
  }
  if (auto valid = sys::validate_utf8(*line); !valid) {
    return fail("请求不是有效 UTF-8: " + valid.error());
  }
  const std::string_view text = sys::trim_white_space(*line);
  if (!unix_form && text.empty()) return fail("请求为空");
  auto request = service_ipc::decode_request(text);
  if (!request) return fail("请求格式错误: " + request.error());
  return std::move(*request);
}

}  // namespace

ServiceTransportStream& ServiceTransportStream::operator=(ServiceTransportStream&& other) noexcept {
  if (this != &other) {
    release();
    form_ = other.form_;
    fd_ = std::move(other.fd_);
    may_carry_descriptors_ = other.may_carry_descriptors_;
    closer_ = std::exchange(other.closer_, nullptr);
    verified_ = std::move(other.verified_);
    reading_ = std::move(other.reading_);
    unsent_ = std::move(other.unsent_);
  }
  return *this;
}

ServiceTransportStream::~ServiceTransportStream() {
  release();
}

void ServiceTransportStream::release() {
  // The pidfd first: once the client sees its connection close, nothing of
  // the exchange is left open in the service.
  verified_.reset();
  if (fd_ && may_carry_descriptors_) {
    if (closer_ != nullptr) {
      // The client sees its exchange end now, not when the closer gets to
      // it. Shutting the writing side releases nothing queued for reading:
      // Linux unix_shutdown only sets flags; XNU soshutdownlock_final skips
      // sorflush for SHUT_WR (xnu-7195 to xnu-11417).
      ::shutdown(fd_.get(), SHUT_WR);
      closer_->release(std::move(fd_));
    } else {
      // Nobody to hand it to: kept open for the life of the process rather
      // than risk a close that waits for as long as a client likes.
      (void)fd_.release();
    }
  }
  fd_.reset();
}

// A Unix connection is read chunk by chunk with the kernel's record of who
// wrote it. The first chunk that is not the verified peer's, or that comes
// with descriptors, ends the read: what a stranger wrote is never examined.
SocketResult<std::size_t> ServiceTransportStream::read_chunk(char* buffer, std::size_t size) {
  if (form_ != ServiceTransportForm::Unix) return receive_some(fd_.get(), buffer, size);
  auto chunk = platform::receive_peer_chunk(fd_.get(), buffer, size, may_carry_descriptors_);
  if (!chunk) return std::unexpected(SocketError{chunk.error()});
  const bool foreign =
      verified_ && chunk->size > 0 && chunk->writer && *chunk->writer != verified_->pid();
  if (foreign || chunk->descriptors) {
    reading_->stranger = chunk->writer.value_or(verified_ ? verified_->pid() : 0);
    return std::unexpected(SocketError{EPERM});
  }
  return chunk->size;
}

std::optional<Result<PeerRequest>> ServiceTransportStream::read_request_available() {
  if (!reading_) reading_ = std::make_unique<Reading>();
  // One buffer serves every connection of the thread: a connection waiting
  // for the rest of its request keeps only what it has read so far.
  // Allocated on first use, so threads that never read a request (the
  // configuration readers) do not carry it.
  thread_local const std::unique_ptr<LineReader::Buffer> buffer =
      std::make_unique<LineReader::Buffer>();
  auto line = reading_->reader.read_more(
      [this](char* into, std::size_t size) { return read_chunk(into, size); },
      SERVICE_IPC_MESSAGE_LIMIT + 1, *buffer);
  if (line && !*line) return std::nullopt;
  if (!line) return finish_read(std::unexpected(line.error()));
  return finish_read(**line);
}

std::string ServiceTransportStream::read_request_expired() {
  auto ended = finish_read(std::unexpected(SocketError{EAGAIN}));
  return ended ? std::string() : std::move(ended.error());
}

Result<service_ipc::ServiceRunnerRequest> ServiceTransportStream::read_request() {
  // The whole request shares one budget. A per-read timeout alone would let a
  // client that sends a byte now and then hold the caller for as long as it
  // likes.
  const Deadline deadline = Deadline::after(SERVICE_CONNECTION_TIMEOUT);
  const auto request_alone =
      [](Result<PeerRequest> read) -> Result<service_ipc::ServiceRunnerRequest> {
    if (!read) return fail(std::move(read.error()));
    return std::move(read->request);
  };
  for (;;) {
    if (auto done = read_request_available()) return request_alone(std::move(*done));
    if (auto ready = wait_readable(fd_.get(), deadline); !ready) {
      return request_alone(finish_read(std::unexpected(ready.error())));
    }
  }
}

std::optional<pid_t> ServiceTransportStream::stranger_after_read() const {
  if (reading_ && reading_->stranger) return reading_->stranger;
  if (verified_) return platform::writer_after_read(fd_.get(), *verified_);
  return std::nullopt;
}

Result<PeerRequest> ServiceTransportStream::finish_read(
    const SocketResult<std::string_view>& line) {
  // Whichever way the read ended, it ends in a refusal if someone other than
  // the verified process wrote.
  const std::optional<pid_t> stranger = stranger_after_read();
  // The request's bytes may live in the reader: it goes only on the way out.
  const std::unique_ptr<Reading> done = std::move(reading_);
  if (stranger) return fail(refusal_of_writer(*stranger));
  auto request = request_of_line(form_, line);
  if (!request) return fail(std::move(request.error()));
  // Past the look at the verified process, and only here, is it told.
  std::optional<ConfirmedPeer> peer;
  if (verified_) peer = ConfirmedPeer(verified_->pid(), verified_->credentials());
  return PeerRequest{std::move(*request), std::move(peer)};
}

Result<bool> ServiceTransportStream::begin_response(const service_ipc::StatusResponse& response) {
  auto wire = std::make_unique<std::string>();
  wire->reserve(RESPONSE_INITIAL_CAPACITY);
  if (auto encoded = service_ipc::encode_response(response, *wire); !encoded) {
    return fail("响应序列化失败: " + encoded.error());
  }
  // JSON and line feed leave in one write; the peer cannot tell the
  // difference, and it saves a system call per exchange.
  wire->push_back('\n');
  unsent_ = std::move(wire);
  return write_more();
}

Result<bool> ServiceTransportStream::write_more() {
  if (!unsent_) return true;
  std::string_view rest(*unsent_);
  auto sent = send_some(fd_.get(), rest);
  if (!sent) {
    unsent_.reset();
    return fail(write_failed(form_, sent.error()));
  }
  if (*sent == rest.size()) {
    unsent_.reset();
    return true;
  }
  unsent_->erase(0, *sent);
  return false;
}

Result<void> ServiceTransportStream::write_response(const service_ipc::StatusResponse& response) {
  const Deadline deadline = Deadline::after(SERVICE_CONNECTION_TIMEOUT);
  auto done = begin_response(response);
  while (done && !*done) {
    if (auto room = wait_writable(fd_.get(), deadline); !room) {
      unsent_.reset();
      return fail(write_failed(form_, room.error()));
    }
    done = write_more();
  }
  if (!done) return fail(std::move(done.error()));
  return {};
}

}  // namespace app_lib::service_transport
