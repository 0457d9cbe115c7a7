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

namespace {

std::unexpected<FileReadError> read_error(int code) {
  return std::unexpected(FileReadError{code});
}

// The whole file behind `fd`, which `st` describes. `positional` reads from
// the start whatever the descriptor's offset, for a descriptor read before.
std::expected<std::string, FileReadError> read_described(int fd, const struct stat& st,
                                                         const FileReadOptions& options,
                                                         bool positional) {
  const bool regular = S_ISREG(st.st_mode);
  if (options.regular_only && S_ISDIR(st.st_mode)) return read_error(EISDIR);
  if (options.regular_only && !regular) return read_error(FileReadError::NOT_REGULAR_FILE);
  if (regular && (st.st_size < 0 || static_cast<std::uint64_t>(st.st_size) > options.size_cap)) {
    return read_error(EFBIG);
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
        const ssize_t n = positional
                              ? ::pread(fd, data + used, size - used, static_cast<off_t>(used))
                              : ::read(fd, data + used, size - used);
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
    if (failed != 0) return read_error(failed);
    if (used > options.size_cap) return read_error(EFBIG);
    if (at_end) return bytes;
    capacity = std::min(capacity * 2, limit);
  }
}

}  // namespace

std::expected<std::string, FileReadError> read_whole_open_file(const UniqueFd& fd,
                                                               const FileReadOptions& options) {
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return read_error(errno);
  return read_described(fd.get(), st, options, false);
}

std::expected<std::string, FileReadError> FileRereader::read() {
  if (fd_) {
    // The path still leads to the very file the descriptor holds (which,
    // held open, keeps its inode number to itself): reading through the
    // descriptor now reads what opening the path now would.
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0 && S_ISREG(st.st_mode) && FileIdentity::of(st) == held_) {
      return read_described(fd_.get(), st, options_, true);
    }
    fd_.reset();
  }
  auto fd = open_file_for_reading(path_, options_);
  if (!fd) return std::unexpected(fd.error());
  struct stat st {};
  if (::fstat(fd->get(), &st) != 0) return read_error(errno);
  auto bytes = read_described(fd->get(), st, options_, false);
  // Only a regular file read whole is kept: anything else is opened afresh.
  if (bytes && S_ISREG(st.st_mode) && !options_.no_links) {
    fd_ = std::move(*fd);
    held_ = FileIdentity::of(st);
  }
  return bytes;
}

}  // namespace app_lib::sys
