#pragma once

#include <utility>

namespace app_lib::sys {

// Sole owner of one file descriptor; closes it on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// For descriptors made without the atomic flags (macOS has no pipe2, no
// SOCK_CLOEXEC and no accept4: none in XNU's bsd/kern/syscalls.master or
// bsd/sys/socket.h, xnu-7195 to xnu-11417). Each is one or two fcntl(2) calls; false, with
// errno set, if one failed.
bool set_close_on_exec(int fd);
bool set_nonblocking(int fd);

}  // namespace app_lib::sys
