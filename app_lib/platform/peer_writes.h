#pragma once

#include <sys/types.h>

#include <cstddef>
#include <expected>
#include <optional>
#include <vector>

#include "app_lib/platform/process_identity.h"

// Who wrote what the service reads from a connection. A connection is one
// exchange: the check names the process at the other end, and these tell,
// as far as the kernel records it, whether the bytes that follow are that
// process's.
namespace app_lib::platform {

// One read from a connected, non-blocking Unix-domain socket.
struct PeerChunk {
  // 0 at end of stream.
  std::size_t size = 0;
  // The process the kernel recorded as the writer of these bytes (Linux,
  // SCM_CREDENTIALS), 0 when it recorded nobody the service can see;
  // nullopt where the kernel keeps no record per chunk (macOS).
  std::optional<pid_t> writer;
  // Descriptors wait at the head of what is left to read. Nothing was
  // consumed, so none of them reached this process.
  bool descriptors = false;
};

// One read of up to `size` bytes; the error is the errno (EAGAIN: nothing is
// there yet). With `descriptors_possible` (the kernel does not refuse them
// on this connection) the read never consumes bytes that carry descriptors:
// it looks before it takes.
std::expected<PeerChunk, int> receive_peer_chunk(int socket_fd, char* buffer, std::size_t size,
                                                 bool descriptors_possible);

// After the request has been read: nullopt while the kernel's record still
// allows only the verified peer as the writer; otherwise the process id it
// names instead (Linux: the verified process's own id once that process has
// been reaped, since its id may then have been reused by a writer).
std::optional<pid_t> writer_after_read(int socket_fd, const PeerProcess& verified);

}  // namespace app_lib::platform
