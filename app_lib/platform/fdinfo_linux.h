#pragma once

#include <optional>
#include <string_view>

namespace app_lib::platform {

// The number after `key` ("Pid:", "scm_fds:") at the start of a line of
// /proc/self/fdinfo/<fd>, as the kernel writes it for that kind of file;
// nullopt when it writes no such line or the file cannot be read.
std::optional<long long> fdinfo_number(int fd, std::string_view key);

}  // namespace app_lib::platform
