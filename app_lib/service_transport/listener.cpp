#include <unistd.h>

#include <cerrno>
#include <utility>

#include "app_lib/platform/socket_flags.h"
#include "app_lib/service_transport/connection_closer.h"
#include "app_lib/service_transport/socket_io.h"
#include "app_lib/service_transport/transport.h"
#include "app_lib/sys/sys_error.h"

namespace app_lib::service_transport {

// Read back once from the listener itself: every connection copies the flag
// from it (at connect() or accept()), and nothing changes it afterwards.
ServiceTransportListener::ServiceTransportListener(ServiceTransportForm form, sys::UniqueFd fd,
                                                   std::optional<std::filesystem::path> unix_path)
    : form_(form),
      fd_(std::move(fd)),
      unix_path_(std::move(unix_path)),
      may_carry_descriptors_(form_ == ServiceTransportForm::Unix &&
                             !platform::refuses_descriptors(fd_.get())) {}

// A moved-from listener owns neither descriptor nor path, so destroying it
// cannot remove the socket file that its successor still serves.
ServiceTransportListener::ServiceTransportListener(ServiceTransportListener&& other) noexcept
    : form_(other.form_),
      fd_(std::move(other.fd_)),
      unix_path_(std::exchange(other.unix_path_, std::nullopt)),
      may_carry_descriptors_(other.may_carry_descriptors_),
      closer_(std::exchange(other.closer_, nullptr)) {}

ServiceTransportListener& ServiceTransportListener::operator=(
    ServiceTransportListener&& other) noexcept {
  if (this != &other) {
    remove_socket_file();
    form_ = other.form_;
    fd_ = std::move(other.fd_);
    unix_path_ = std::exchange(other.unix_path_, std::nullopt);
    may_carry_descriptors_ = other.may_carry_descriptors_;
    closer_ = std::exchange(other.closer_, nullptr);
  }
  return *this;
}

ServiceTransportListener::~ServiceTransportListener() {
  remove_socket_file();
}

void ServiceTransportListener::remove_socket_file() {
  // The file goes first so that no client can connect to a socket that
  // nobody will accept on. A file already gone is no error worth reporting.
  if (unix_path_) ::unlink(unix_path_->c_str());
  unix_path_.reset();
  // Connections still queued are closed with the listener, and what they
  // carry with them.
  if (fd_ && closer_ != nullptr && may_carry_descriptors_) closer_->release(std::move(fd_));
  fd_.reset();
}

std::expected<ServiceTransportStream, AcceptFailure> ServiceTransportListener::accept() {
  int fd = -1;
  for (;;) {
    // The connection comes back non-blocking on every system: the stream
    // bounds each whole read and write by one deadline and waits in poll,
    // which a blocking socket would defeat wherever the kernel ignores
    // MSG_DONTWAIT on send (macOS).
    fd = platform::accept_nonblocking_cloexec(fd_.get());
    if (fd >= 0) break;
    const int error = errno;
    if (error == EINTR) continue;
    if (error == EAGAIN || error == EWOULDBLOCK) {
      return std::unexpected(AcceptFailure{error, "accept service ipc connection would block"});
    }
    return std::unexpected(AcceptFailure{
        error, (form_ == ServiceTransportForm::Unix ? "accept service unix socket failed: "
                                                    : "accept service ipc connection failed: ") +
                   sys::sys_error_text(error)});
  }
  // No read or write waits on them any more, but they stay as the limits
  // the connection carries, for anything that might use it blocking.
  set_io_timeouts(fd, SERVICE_CONNECTION_TIMEOUT);
  platform::suppress_sigpipe(fd);
  return ServiceTransportStream(form_, sys::UniqueFd(fd), may_carry_descriptors_, closer_);
}

}  // namespace app_lib::service_transport
