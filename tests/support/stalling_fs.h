#pragma once

// A file system that stops answering, for tests of what the service does when
// a name a client chose leads onto one (FUSE: a user mount, a network share,
// a disk image on macOS). Linux only: the raw /dev/fuse protocol, no library.

#include <filesystem>
#include <memory>
#include <string>

#include "app_lib/sys/result.h"

namespace nimbletrace_test {

// Mounted over an empty directory, with allow_other so that any user may
// walk into it. Once it stalls, every lookup, stat, open or page read below
// the mount point (the mount point itself included) waits, and a waiter
// that was not yet handed to the file system can still be killed.
// Destroying it closes the device, which makes every waiting call fail
// (ECONNABORTED, or ENOTCONN for one that comes after), and detaches the
// mount. Needs root and /dev/fuse; mount() and mount_serving() say why not
// otherwise.
//
// stall() may be called from any thread; the rest from the owning one.
class StallingFs {
 public:
  // Answers the kernel's INIT and nothing after it.
  static app_lib::Result<std::unique_ptr<StallingFs>> mount(const std::filesystem::path& dir);
  // Until stall(), serves the bytes of `source`, read-only, as the one
  // executable `dir`/`name`. The kernel keeps no name or attribute of it:
  // every path walk or stat below the mount asks again, so each one waits
  // once it has stalled.
  static app_lib::Result<std::unique_ptr<StallingFs>> mount_serving(
      const std::filesystem::path& dir, const std::string& name,
      const std::filesystem::path& source);
  ~StallingFs();
  StallingFs(const StallingFs&) = delete;
  StallingFs& operator=(const StallingFs&) = delete;

  // From its return on, no request is read or answered any more.
  void stall();

  const std::filesystem::path& path() const { return dir_; }

 private:
  struct State;
  explicit StallingFs(std::filesystem::path dir, std::unique_ptr<State> state);

  std::filesystem::path dir_;
  std::unique_ptr<State> state_;
};

}  // namespace nimbletrace_test
