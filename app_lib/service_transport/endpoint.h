#pragma once

#include <sys/socket.h>

#include <filesystem>
#include <string_view>
#include <vector>

#include "app_lib/sys/result.h"

namespace app_lib::service_transport {

// One socket address of any family, ready for bind(2) or connect(2).
struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;

  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
  int family() const { return storage.ss_family; }
};

// Resolves a TCP endpoint text. A literal "a.b.c.d:port" or "[v6]:port" is the
// one address; otherwise the text is split at its last ':' into a host, looked
// up by the system resolver, and a port of 0 to 65535. The error is the cause
// alone, without the endpoint text.
Result<std::vector<SocketAddress>> resolve_tcp_endpoint(std::string_view text);

// The address of a Unix-domain socket at `path`. Fails with a cause saying so
// when the path holds a NUL byte or does not fit the platform's sun_path with
// its terminating NUL.
Result<SocketAddress> unix_socket_address(const std::filesystem::path& path);

}  // namespace app_lib::service_transport
