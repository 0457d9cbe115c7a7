#pragma once

#include <cstddef>
#include <expected>
#include <filesystem>
#include <string>

#include "app_lib/sys/fd.h"
#include "app_lib/sys/file_identity.h"

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

// read_whole_file of one path, afresh at every read(), with the same results.
// Between reads it keeps the descriptor of the regular file it last read, and
// while the path still leads to that file, a stat and a positional read stand
// in for opening, reading and closing it: a file edited in place is read as
// it is now, one replaced or removed is opened (or fails) anew.
class FileRereader {
 public:
  FileRereader(std::filesystem::path path, FileReadOptions options)
      : path_(std::move(path)), options_(options) {}
  std::expected<std::string, FileReadError> read();

 private:
  std::filesystem::path path_;
  FileReadOptions options_;
  UniqueFd fd_;
  FileIdentity held_;
};

}  // namespace app_lib::sys
