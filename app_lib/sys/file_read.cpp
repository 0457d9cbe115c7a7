#include "app_lib/sys/file_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "app_lib/sys/fd.h"
#include "app_lib/sys/path_text.h"
#include "app_lib/sys/sys_error.h"

namespace app_lib::sys {

std::string FileReadError::text() const {
  if (code == NOT_REGULAR_FILE) return "not a regular file";
  return sys_error_text(code);
}

std::expected<UniqueFd, FileReadError> open_file_for_reading(const std::filesystem::path& path,
                                                             const FileReadOptions& options) {
  if (options.no_links) {
    auto opened = open_without_links(path, O_RDONLY | O_NONBLOCK);
    if (!opened) return std::unexpected(FileReadError{opened.error()});
    return std::move(*opened);
  }
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return std::unexpected(FileReadError{errno});
  return fd;
}

std::expected<std::string, FileReadError> read_whole_file(const std::filesystem::path& path,
                                                          const FileReadOptions& options) {
  auto fd = open_file_for_reading(path, options);
  if (!fd) return std::unexpected(fd.error());
  return read_whole_open_file(*fd, options);
}

std::expected<std::string, FileReadError> read_whole_open_file(const UniqueFd& fd,
                                                               const FileReadOptions& options) {
  const auto error = [](int code) { return std::unexpected(FileReadError{code}); };
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return error(errno);
  const bool regular = S_ISREG(st.st_mode);
  if (options.regular_only && S_ISDIR(st.st_mode)) return error(EISDIR);
  if (options.regular_only && !regular) return error(FileReadError::NOT_REGULAR_FILE);
  if (regular && (st.st_size < 0 || static_cast<std::uint64_t>(st.st_size) > options.size_cap)) {
    return error(EFBIG);
  }

  // Sized from fstat so a file usually takes one read. What fstat said proves
  // nothing about what read will return, so a file that grows meanwhile is
  // read on, but never past one byte over the cap.
  const std::size_t limit = options.size_cap + 1;
  std::size_t capacity =
      regular ? static_cast<std::size_t>(st.st_size) + 1 : std::min<std::size_t>(limit, 4096);
  std::string bytes;
  std::size_t used = 0;
  for (;;) {
    int failed = 0;
    bool at_end = false;
    bytes.resize_and_overwrite(capacity, [&](char* data, std::size_t size) {
      while (used < size) {
        const ssize_t n = ::read(fd.get(), data + used, size - used);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
          failed = errno;
          break;
        }
        used += static_cast<std::size_t>(n);
        // A regular file that gives less than was asked for is at its end,
        // which saves the read that would only say so.
        if (n == 0 || (regular && used < size)) {
          at_end = true;
          break;
        }
      }
      return used;
    });
    if (failed != 0) return error(failed);
    if (used > options.size_cap) return error(EFBIG);
    if (at_end) return bytes;
    capacity = std::min(capacity * 2, limit);
  }
}

}  // namespace app_lib::sys
