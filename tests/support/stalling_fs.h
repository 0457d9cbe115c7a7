#pragma once

// A file system that never answers, for tests of what the service does when
// a name a client chose leads onto one (FUSE: a user mount, a network share,
// a disk image on macOS). Linux only: the raw /dev/fuse protocol, no library.

#include <filesystem>
#include <memory>
#include <string>

#include "app_lib/sys/result.h"

namespace nimbletrace_test {

// Mounted over an empty directory; it answers the kernel's INIT and nothing
// after it, so every lookup, stat or open below the mount point (the mount
// point itself included) waits. Destroying it closes the device, which
// makes every waiting call fail (ECONNABORTED, or ENOTCONN
// for one that comes after), and detaches the mount.
// Needs root and /dev/fuse; mount() says why not otherwise.
class StallingFs {
 public:
  static app_lib::Result<std::unique_ptr<StallingFs>> mount(const std::filesystem::path& dir);
  ~StallingFs();
  StallingFs(const StallingFs&) = delete;
  StallingFs& operator=(const StallingFs&) = delete;

  const std::filesystem::path& path() const { return dir_; }

 private:
  struct State;
  explicit StallingFs(std::filesystem::path dir, std::unique_ptr<State> state);

  std::filesystem::path dir_;
  std::unique_ptr<State> state_;
};

}  // namespace nimbletrace_test
