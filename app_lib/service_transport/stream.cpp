#include <sys/socket.h>

#include <cerrno>
#include <optional>
#include <utility>
#include <string>

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

}  // namespace

ServiceTransportStream& ServiceTransportStream::operator=(ServiceTransportStream&& other) noexcept {
  if (this != &other) {
    release();
    form_ = other.form_;
    fd_ = std::move(other.fd_);
    may_carry_descriptors_ = other.may_carry_descriptors_;
    closer_ = std::exchange(other.closer_, nullptr);
    verified_ = std::move(other.verified_);
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

Result<service_ipc::ServiceRunnerRequest> ServiceTransportStream::read_request() {
  const bool unix_form = form_ == ServiceTransportForm::Unix;
  // The whole request shares one budget. A per-read timeout alone would let a
  // client that sends a byte now and then hold the single-threaded loop for
  // as long as it likes.
  const Deadline deadline = Deadline::after(SERVICE_CONNECTION_TIMEOUT);
  LineReader reader;
  const int fd = fd_.get();
  // A Unix connection is read chunk by chunk with the kernel's record of who
  // wrote it. The first chunk that is not the verified peer's, or that comes
  // with descriptors, ends the read: what a stranger wrote is never examined.
  std::optional<pid_t> stranger;
  const auto read_some = [&](char* buffer, std::size_t size) -> SocketResult<std::size_t> {
    if (!unix_form) return receive_before(fd, buffer, size, deadline);
    for (;;) {
      auto chunk = platform::receive_peer_chunk(fd, buffer, size, may_carry_descriptors_);
      if (!chunk) {
        if (chunk.error() != EAGAIN && chunk.error() != EWOULDBLOCK) {
          return std::unexpected(SocketError{chunk.error()});
        }
        if (auto ready = wait_readable(fd, deadline); !ready) return std::unexpected(ready.error());
        continue;
      }
      const bool foreign = verified_ && chunk->size > 0 && chunk->writer &&
                           *chunk->writer != verified_->pid();
      if (foreign || chunk->descriptors) {
        stranger = chunk->writer.value_or(verified_ ? verified_->pid() : 0);
        return std::unexpected(SocketError{EPERM});
      }
      return chunk->size;
    }
  };
  const SocketResult<std::string_view> line =
      reader.read_line(read_some, SERVICE_IPC_MESSAGE_LIMIT + 1);
  // Whichever way the read ended, it ends in a refusal if someone other than
  // the verified process wrote.
  if (!stranger && verified_) stranger = platform::writer_after_read(fd, *verified_);
  if (stranger) return fail(refusal_of_writer(*stranger));
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

Result<void> ServiceTransportStream::write_response(const service_ipc::StatusResponse& response) {
  std::string wire;
  wire.reserve(RESPONSE_INITIAL_CAPACITY);
  if (auto encoded = service_ipc::encode_response(response, wire); !encoded) {
    return fail("响应序列化失败: " + encoded.error());
  }
  // JSON and line feed leave in one write; the peer cannot tell the
  // difference, and it saves a system call per exchange.
  wire.push_back('\n');
  const Deadline deadline = Deadline::after(SERVICE_CONNECTION_TIMEOUT);
  if (auto sent = send_all_before(fd_.get(), wire, deadline); !sent) {
    return fail(
        (form_ == ServiceTransportForm::Unix ? "写入 Unix Socket 响应失败: " : "写入响应失败: ") +
        sent.error().text());
  }
  return {};
}

}  // namespace app_lib::service_transport
