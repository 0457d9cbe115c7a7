#include <cerrno>
#include <limits>
#include <string>

#include "app_lib/platform/socket_flags.h"
#include "app_lib/service_ipc/codec.h"
#include "app_lib/service_transport/endpoint.h"
#include "app_lib/service_transport/socket_io.h"
#include "app_lib/service_transport/transport.h"
#include "app_lib/sys/message.h"
#include "app_lib/sys/path_text.h"
#include "app_lib/sys/sys_error.h"
#include "app_lib/sys/text.h"

namespace app_lib::service_transport {
namespace {

using service_ipc::ServiceRunnerRequest;
using service_ipc::StatusResponse;

constexpr std::size_t REQUEST_INITIAL_CAPACITY = 128;

// The texts that differ between the two forms; everything else is shared.
struct ClientWording {
  const char* request_too_large;
  const char* write_failed;
  const char* read_failed;
  bool refuses_empty_response;
};

constexpr ClientWording TCP_WORDING{
    "ServiceRunner TCP 请求超过 64KB 上限",
    "写入 ServiceRunner IPC 请求失败: ",
    "读取 ServiceRunner IPC 响应失败: ",
    true,
};

constexpr ClientWording UNIX_WORDING{
    "ServiceRunner Unix Socket 请求超过 64KB 上限",
    "写入 ServiceRunner Unix Socket 请求失败: ",
    "读取 ServiceRunner Unix Socket 响应失败: ",
    false,
};

// Reads and decodes the one response line.
Result<ServiceReply> read_response(const ClientWording& wording, int fd) {
  LineReader reader;
  LineReader::Buffer buffer;
  const SocketResult<std::string_view> line = reader.read_line(
      [fd](char* chunk, std::size_t size) { return receive_some(fd, chunk, size); },
      std::numeric_limits<std::size_t>::max(), buffer);
  if (!line) return fail(wording.read_failed + line.error().text());
  if (auto valid = sys::validate_utf8(*line); !valid) {
    return fail(wording.read_failed + ("stream did not contain valid UTF-8: " + valid.error()));
  }
  const std::string_view text = sys::trim_white_space(*line);
  if (wording.refuses_empty_response && text.empty()) return fail("ServiceRunner IPC 响应为空");
  auto response = service_ipc::decode_response(text);
  if (!response) return fail("解析 ServiceRunner IPC 响应失败: " + response.error());
  return ServiceReply{std::move(*response), std::string(*line)};
}

// Everything after connecting. `connection` is closed on every way out.
Result<ServiceReply> exchange(const ClientWording& wording, sys::UniqueFd connection,
                                const ServiceRunnerRequest& request,
                                std::chrono::nanoseconds limit) {
  const int fd = connection.get();
  set_io_timeouts(fd, limit);

  std::string json;
  json.reserve(REQUEST_INITIAL_CAPACITY);
  if (auto encoded = service_ipc::encode_request(request, json); !encoded) {
    return fail("序列化 ServiceRunner 请求失败: " + encoded.error());
  }
  if (json.size() > SERVICE_IPC_MESSAGE_LIMIT) return fail(wording.request_too_large);

  SocketResult<void> sent = send_all(fd, json);
  if (sent) sent = send_all(fd, "\n");
  if (!sent) {
    // The service answers some requests without reading them to the end (a
    // refused peer, an oversize line) and closes at once, so a write can fail
    // after the answer is already waiting. Losing that answer would turn the
    // service's refusal into a bare "broken pipe".
    const int code = sent.error().code;
    if (code == EPIPE || code == ECONNRESET) {
      if (auto answer = read_response(wording, fd); answer) return answer;
    }
    return fail(wording.write_failed + sent.error().text());
  }
  return read_response(wording, fd);
}

Result<sys::UniqueFd> open_connection(const SocketAddress& address) {
  sys::UniqueFd fd(platform::open_cloexec_socket(address.family(), SOCK_STREAM, 0));
  if (!fd) return fail(sys::last_sys_error_text());
  platform::suppress_sigpipe(fd.get());
  if (auto connected = connect_socket(fd.get(), address.get(), address.length); !connected) {
    return fail(connected.error().text());
  }
  return fd;
}

Result<ServiceReply> send_request_via_tcp(const std::string& addr,
                                            const ServiceRunnerRequest& request,
                                            std::chrono::nanoseconds limit) {
  constexpr std::string_view connect_head = "连接 ServiceRunner IPC 失败";
  auto addresses = resolve_tcp_endpoint(addr);
  if (!addresses) return fail(sys::with_cause(connect_head, addr, addresses.error()));
  std::string last_error;
  for (const SocketAddress& address : *addresses) {
    auto connection = open_connection(address);
    if (connection) return exchange(TCP_WORDING, std::move(*connection), request, limit);
    last_error = std::move(connection.error());
  }
  return fail(sys::with_cause(connect_head, addr, last_error));
}

Result<ServiceReply> send_request_via_unix(const std::filesystem::path& path,
                                             const ServiceRunnerRequest& request,
                                             std::chrono::nanoseconds limit) {
  const auto connect_error = [&](std::string_view cause) {
    return fail(
        sys::with_cause("连接 ServiceRunner Unix Socket 失败", sys::path_text(path), cause));
  };
  auto address = unix_socket_address(path);
  if (!address) return connect_error(address.error());
  auto connection = open_connection(*address);
  if (!connection) return connect_error(connection.error());
  return exchange(UNIX_WORDING, std::move(*connection), request, limit);
}

}  // namespace

Result<ServiceReply> ServiceTransport::exchange_request(const ServiceRunnerRequest& request,
                                                       std::chrono::nanoseconds limit) const {
  if (const auto* tcp = std::get_if<Tcp>(&endpoint)) {
    return send_request_via_tcp(tcp->addr, request, limit);
  }
  return send_request_via_unix(std::get<Unix>(endpoint).path, request, limit);
}

Result<StatusResponse> ServiceTransport::send_request(const ServiceRunnerRequest& request,
                                                      std::chrono::nanoseconds limit) const {
  auto reply = exchange_request(request, limit);
  if (!reply) return fail(std::move(reply.error()));
  return std::move(reply->response);
}

}  // namespace app_lib::service_transport
