#pragma once

#include <sys/types.h>

#include <cstddef>
#include <expected>
#include <optional>
#include <vector>

#include "app_lib/platform/process_identity.h"
#include "app_lib/sys/fd.h"

// Who wrote what the service reads from a connection, and how a connection
// that may carry descriptors is let go. A connection is one exchange: the
// check names the process at the other end, and these tell whether the bytes
// that follow are that process's.
namespace app_lib::platform {

// One read from a connected, non-blocking Unix-domain socket.
struct PeerChunk {
  // 0 at end of stream.
  std::size_t size = 0;
  // The process the kernel recorded as the writer of these bytes (Linux,
  // SCM_CREDENTIALS), 0 when it recorded nobody the service can see;
  // nullopt where the kernel keeps no record per chunk (macOS).
  std::optional<pid_t> writer;
  // The bytes came with descriptors. On Linux the read stopped short of them,
  // so none reached this process; on macOS the kernel installed them, and
  // they were added to the `received` list of the call.
  bool descriptors = false;
};

// One read of up to `size` bytes; the error is the errno (EAGAIN: nothing is
// there yet). With `descriptors_possible` (the kernel does not refuse them
// on this connection) the read never consumes bytes that carry descriptors.
std::expected<PeerChunk, int> receive_peer_chunk(int socket_fd, char* buffer, std::size_t size,
                                                 bool descriptors_possible,
                                                 std::vector<sys::UniqueFd>& received);

// After the request has been read: nullopt while the kernel's record still
// allows only the verified peer as the writer; otherwise the process id it
// names instead (Linux: the verified process's own id once that process has
// been reaped, since its id may then have been reused by a writer).
std::optional<pid_t> writer_after_read(int socket_fd, const PeerProcess& verified);

// Closes a connection over which descriptors may have been sent, together
// with those it delivered, such that the calling thread never drops the last
// reference to any of them: the last close of an in-flight TCP socket with
// SO_LINGER waits for as long as its sender wishes.
void release_connection(sys::UniqueFd socket, std::vector<sys::UniqueFd> received);

}  // namespace app_lib::platform
