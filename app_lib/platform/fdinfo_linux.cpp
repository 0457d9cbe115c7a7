#include "app_lib/platform/fdinfo_linux.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <string>

#include "app_lib/sys/fd.h"

namespace app_lib::platform {

std::optional<long long> fdinfo_number(int fd, std::string_view key) {
  const std::string path = "/proc/self/fdinfo/" + std::to_string(fd);
  const sys::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) return std::nullopt;
  std::string text;
  std::array<char, 1024> chunk{};
  for (;;) {
    const ssize_t n = ::read(file.get(), chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    text.append(chunk.data(), static_cast<std::size_t>(n));
  }
  std::size_t line = 0;
  while (line < text.size() && text.compare(line, key.size(), key) != 0) {
    const std::size_t next = text.find('\n', line);
    if (next == std::string::npos) return std::nullopt;
    line = next + 1;
  }
  if (line >= text.size()) return std::nullopt;
  std::size_t begin = line + key.size();
  while (begin < text.size() && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
  long long value = 0;
  const auto [end, error] = std::from_chars(text.data() + begin, text.data() + text.size(), value);
  if (error != std::errc{} || end == text.data() + begin) return std::nullopt;
  return value;
}

}  // namespace app_lib::platform
