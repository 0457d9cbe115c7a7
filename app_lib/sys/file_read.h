#pragma once

#include <cstddef>
#include <expected>
#include <filesystem>
#include <string>

#include "app_lib/sys/fd.h"

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

// Opens `path` for read_whole_open_file, honouring `no_links`. The open never
// blocks (O_NONBLOCK: a FIFO fails instead of waiting for a writer) and is
// close-on-exec.
std::expected<UniqueFd, FileReadError> open_file_for_reading(const std::filesystem::path& path,
                                                             const FileReadOptions& options);

// The whole file behind a descriptor just opened, under `size_cap` and
// `regular_only`. Rights were checked when it was opened, so the descriptor
// may come from a thread that opened it with someone else's.
std::expected<std::string, FileReadError> read_whole_open_file(const UniqueFd& fd,
                                                               const FileReadOptions& options);

// Both of the above.
std::expected<std::string, FileReadError> read_whole_file(const std::filesystem::path& path,
                                                          const FileReadOptions& options);

}  // namespace app_lib::sys
