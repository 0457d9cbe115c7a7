#include "app_lib/service_transport/endpoint.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "app_lib/platform/socket_flags.h"
#include "app_lib/service_transport/transport.h"
#include "app_lib/sys/directories.h"
#include "app_lib/sys/message.h"
#include "app_lib/sys/path_text.h"
#include "app_lib/sys/sys_error.h"

namespace app_lib::service_transport {
namespace {

constexpr int TCP_LISTEN_BACKLOG = 128;

std::optional<std::uint16_t> parse_port(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

void set_port(SocketAddress& address, std::uint16_t port) {
  if (address.family() == AF_INET6) {
    reinterpret_cast<sockaddr_in6*>(&address.storage)->sin6_port = htons(port);
  } else {
    reinterpret_cast<sockaddr_in*>(&address.storage)->sin_port = htons(port);
  }
}

// `host` read as a numeric address of `family` (AF_INET or AF_INET6).
std::optional<SocketAddress> numeric_address(int family, const std::string& host,
                                             std::uint16_t port) {
  SocketAddress out;
  void* target = family == AF_INET6
                     ? static_cast<void*>(&reinterpret_cast<sockaddr_in6*>(&out.storage)->sin6_addr)
                     : static_cast<void*>(&reinterpret_cast<sockaddr_in*>(&out.storage)->sin_addr);
  if (::inet_pton(family, host.c_str(), target) != 1) return std::nullopt;
  out.storage.ss_family = static_cast<sa_family_t>(family);
  out.length = family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  set_port(out, port);
  return out;
}

Result<std::vector<SocketAddress>> look_up_host(const std::string& host, std::uint16_t port) {
  if (host.find('\0') != std::string::npos) return fail("host name contains a NUL byte");
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0) {
    const std::string cause = rc == EAI_SYSTEM ? sys::last_sys_error_text() : ::gai_strerror(rc);
    return fail("failed to look up address information: " + cause);
  }
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(found, &::freeaddrinfo);
  std::vector<SocketAddress> out;
  for (const addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
    SocketAddress address;
    address.length = ai->ai_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    std::memcpy(&address.storage, ai->ai_addr, address.length);
    set_port(address, port);
    out.push_back(address);
  }
  if (out.empty()) return fail("could not resolve to any addresses");
  return out;
}

Result<ServiceTransportListener> bind_unix(const std::filesystem::path& path) {
  const std::string shown = sys::path_text(path);
  if (auto made = sys::make_directories(path.parent_path(), sys::NEW_PARENT_DIRECTORY_MODE);
      !made) {
    return fail(sys::with_cause("创建 Service Unix Socket 目录失败",
                                sys::path_text(path.parent_path()), made.error()));
  }
  // Whatever stands at the path (a socket left by an unclean exit, a file, a
  // link to one) would make bind fail with EADDRINUSE.
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && ::unlink(path.c_str()) != 0) {
    return fail(
        sys::with_cause("清理旧 Service Unix Socket 失败", shown, sys::last_sys_error_text()));
  }
  const auto bind_failed = [&](std::string_view cause) {
    return fail(sys::with_cause("绑定 Service Unix Socket 失败", shown, cause));
  };
  auto address = unix_socket_address(path);
  if (!address) return bind_failed(address.error());
  sys::UniqueFd fd(platform::open_cloexec_socket(AF_UNIX, SOCK_STREAM, 0));
  if (!fd) return bind_failed(sys::last_sys_error_text());
  // Before listen(): every connection, queued or accepted, inherits it.
  platform::guard_unix_listener(fd.get());
  if (::bind(fd.get(), address->get(), address->length) != 0 ||
      ::listen(fd.get(), SOMAXCONN) != 0 || !sys::set_nonblocking(fd.get())) {
    return bind_failed(sys::last_sys_error_text());
  }
  // The umask must not keep clients out: whether a peer may talk to the
  // service is decided by verifying its executable, not by file mode.
  if (::chmod(path.c_str(), 0666) != 0) {
    return fail("设置 Service Unix Socket 权限失败: " + sys::last_sys_error_text());
  }
  return ServiceTransportListener(ServiceTransportForm::Unix, std::move(fd), path);
}

Result<ServiceTransportListener> bind_tcp(const std::string& text) {
  const auto bind_failed = [&](std::string_view cause) {
    return fail(sys::with_cause("绑定 Service TCP 端点失败", text, cause));
  };
  auto addresses = resolve_tcp_endpoint(text);
  if (!addresses) return bind_failed(addresses.error());
  std::string last_error;
  for (const SocketAddress& address : *addresses) {
    sys::UniqueFd fd(platform::open_cloexec_socket(address.family(), SOCK_STREAM, 0));
    const int one = 1;
    if (!fd || ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::bind(fd.get(), address.get(), address.length) != 0 ||
        ::listen(fd.get(), TCP_LISTEN_BACKLOG) != 0 || !sys::set_nonblocking(fd.get())) {
      last_error = sys::last_sys_error_text();
      continue;
    }
    return ServiceTransportListener(ServiceTransportForm::Tcp, std::move(fd), std::nullopt);
  }
  return bind_failed(last_error);
}

}  // namespace

Result<std::vector<SocketAddress>> resolve_tcp_endpoint(std::string_view text) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return fail("invalid socket address");
  const std::string_view host = text.substr(0, colon);
  const auto port = parse_port(text.substr(colon + 1));
  if (!port) return fail("invalid port value");
  // Literal addresses skip the resolver: it may be slow, and the mock
  // endpoint and the wake-up ping are always written this way.
  const bool bracketed = host.size() >= 2 && host.front() == '[' && host.back() == ']';
  const std::string literal(bracketed ? host.substr(1, host.size() - 2) : host);
  if (auto address = numeric_address(bracketed ? AF_INET6 : AF_INET, literal, *port)) {
    return std::vector{*address};
  }
  return look_up_host(std::string(host), *port);
}

Result<SocketAddress> unix_socket_address(const std::filesystem::path& path) {
  const std::string& bytes = path.native();
  if (bytes.empty()) return fail("socket path is empty");
  if (bytes.find('\0') != std::string::npos) return fail("socket path contains a NUL byte");
  SocketAddress out;
  auto* sun = reinterpret_cast<sockaddr_un*>(&out.storage);
  if (bytes.size() >= sizeof(sun->sun_path)) {
    return fail("socket path is " + std::to_string(bytes.size()) +
                " bytes long; it must be shorter than " + std::to_string(sizeof(sun->sun_path)) +
                " bytes");
  }
  // sun_len stays 0: XNU takes sa_len from the length passed
  // (getsockaddr, bsd/kern/uipc_syscalls.c), and Linux has no such field.
  sun->sun_family = AF_UNIX;
  std::memcpy(sun->sun_path, bytes.data(), bytes.size());
  out.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + bytes.size() + 1);
  return out;
}

Result<ServiceTransportListener> ServiceTransport::bind_listener() const {
  if (const auto* tcp = std::get_if<Tcp>(&endpoint)) return bind_tcp(tcp->addr);
  return bind_unix(std::get<Unix>(endpoint).path);
}

}  // namespace app_lib::service_transport
