#pragma once

#include <cstddef>
#include <expected>
#include <filesystem>
#include <string>

namespace app_lib::sys {

struct FileReadOptions {
  // A file larger than this fails with EFBIG, before anything is allocated for
  // it, and no more than this and one byte is ever read.
  std::size_t size_cap = 0;
  // The path is canonical, and a symbolic link in any of its components (one
  // swapped in since it was resolved) fails instead of being followed.
  bool no_links = false;
  // Anything but a regular file fails: a directory with EISDIR, as read(2)
  // would answer, anything else without a system error.
  bool regular_only = false;
};

// Why a read failed: an errno value, or NOT_REGULAR_FILE.
struct FileReadError {
  static constexpr int NOT_REGULAR_FILE = 0;
  int code = NOT_REGULAR_FILE;
  // "<description> (os error N)", or "not a regular file".
  std::string text() const;
};

// The whole file. The open never blocks (O_NONBLOCK: a FIFO fails instead of
// waiting for a writer) and is close-on-exec.
std::expected<std::string, FileReadError> read_whole_file(const std::filesystem::path& path,
                                                          const FileReadOptions& options);

}  // namespace app_lib::sys
