#pragma once

#include <cstddef>

namespace app_lib::sys {

// Takes exactly `size` bytes that a peek has just shown to be waiting on the
// non-blocking socket `fd`, without control data; 0, or the errno (EPROTO
// when the stream ended before them, which a peek rules out).
int receive_exactly(int fd, char* buffer, std::size_t size);

}  // namespace app_lib::sys
