#pragma once

#include <chrono>
#include <cstddef>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "app_lib/platform/process_identity.h"
#include "app_lib/service_ipc/messages.h"
#include "app_lib/service_transport/socket_io.h"
#include "app_lib/sys/fd.h"
#include "app_lib/sys/result.h"

namespace app_lib::service_transport {

// Largest request line the service accepts, its line feed included.
inline constexpr std::size_t SERVICE_IPC_MESSAGE_LIMIT = 65536;

// Timeouts of an accepted connection. The service also bounds the whole read
// of one request and the whole write of one response by the same budget, so a
// client that trickles bytes cannot keep its connection open for ever.
inline constexpr std::chrono::seconds SERVICE_CONNECTION_TIMEOUT{2};

class ServiceTransportListener;
class ServiceTransportStream;
class ConnectionCloser;

enum class ServiceTransportForm { Tcp = 0, Unix = 1 };

// A decoded response and the line it came in, its line feed included when one
// arrived: what a client shows is what the service sent, members it does not
// know and all.
struct ServiceReply {
  service_ipc::StatusResponse response;
  std::string line;
};

// Why accept() gave no connection. The error number stays a number, so the
// caller tells an empty queue from a failure by it; the text is what a
// failure shows, and what the failure becomes where a Result is wanted.
struct AcceptFailure {
  int error_number = 0;
  std::string text;

  operator std::string() const& { return text; }
  operator std::string() && { return std::move(text); }
};

// An endpoint: a TCP "host:port" text or a Unix-domain socket path.
struct ServiceTransport {
  struct Tcp {
    std::string addr;
  };
  struct Unix {
    std::filesystem::path path;
  };
  std::variant<Tcp, Unix> endpoint;

  static ServiceTransport tcp(std::string addr) { return {Tcp{std::move(addr)}}; }
  static ServiceTransport unix_socket(std::filesystem::path path) {
    return {Unix{std::move(path)}};
  }
  ServiceTransportForm form() const {
    return std::holds_alternative<Tcp>(endpoint) ? ServiceTransportForm::Tcp
                                                 : ServiceTransportForm::Unix;
  }

  // Binds a non-blocking listener. A Unix socket file replaces whatever stood
  // at the path and is made 0666.
  Result<ServiceTransportListener> bind_listener() const;

  // One exchange over a fresh connection; `limit` bounds every single read and
  // write (not connecting). A response with ok=false is still a response.
  Result<service_ipc::StatusResponse> send_request(const service_ipc::ServiceRunnerRequest& request,
                                                   std::chrono::nanoseconds limit) const;
  // The same, also keeping the response line exactly as it arrived.
  Result<ServiceReply> exchange_request(const service_ipc::ServiceRunnerRequest& request,
                                        std::chrono::nanoseconds limit) const;
};

// A bound, non-blocking listening socket. Move-only. Destroying a Unix
// listener removes its socket file first, then closes the descriptor, or,
// with a closer, hands it to the closer: the connections still queued on it
// may carry descriptors too. Used by one thread only.
class ServiceTransportListener {
 public:
  ServiceTransportListener(ServiceTransportForm form, sys::UniqueFd fd,
                           std::optional<std::filesystem::path> unix_path);
  ServiceTransportListener(ServiceTransportListener&& other) noexcept;
  ServiceTransportListener& operator=(ServiceTransportListener&& other) noexcept;
  ServiceTransportListener(const ServiceTransportListener&) = delete;
  ServiceTransportListener& operator=(const ServiceTransportListener&) = delete;
  ~ServiceTransportListener();

  // Never waits. With no client pending it fails with EAGAIN; an interrupted
  // call is made again. The accepted connection is non-blocking,
  // close-on-exec, with 2 s timeouts.
  std::expected<ServiceTransportStream, AcceptFailure> accept();

  // Whether the kernel lets clients send descriptors over its connections.
  bool may_carry_descriptors() const { return may_carry_descriptors_; }
  // From now on, connections that may carry descriptors, and the listener
  // itself, are let go through `closer`, which must outlive them.
  void set_closer(ConnectionCloser* closer) { closer_ = closer; }

  ServiceTransportForm form() const { return form_; }
  int native_handle() const { return fd_.get(); }

 private:
  void remove_socket_file();

  ServiceTransportForm form_;
  sys::UniqueFd fd_;
  std::optional<std::filesystem::path> unix_path_;
  // The kernel does not refuse descriptors sent over its connections.
  bool may_carry_descriptors_ = false;
  ConnectionCloser* closer_ = nullptr;
};

// The peer the check accepted, as the read that followed confirmed it. The
// check reads what the process runs under its process id; only the read's
// look at the kept process afterwards (a pidfd on Linux) proves that id was
// still the peer's, so nothing may be done with the peer's rights before it.
// Hence only a read that looked makes one.
class ConfirmedPeer {
 public:
  pid_t pid() const { return pid_; }
  // Without groups: ServiceTransportStream::peer_groups asks for them.
  const platform::PeerCredentials& credentials() const { return credentials_; }

 private:
  friend class ServiceTransportStream;
  ConfirmedPeer(pid_t pid, platform::PeerCredentials credentials)
      : pid_(pid), credentials_(std::move(credentials)) {}

  pid_t pid_;
  platform::PeerCredentials credentials_;
};

// A request read to its end, and the peer the check accepted before the
// read (nullopt where no peer was checked: TCP, or no check asked for).
struct PeerRequest {
  service_ipc::ServiceRunnerRequest request;
  std::optional<ConfirmedPeer> peer;
};

// One accepted connection carrying one exchange. Move-only; destroying it
// closes the connection, or, where descriptors may have been sent over it,
// hands it to the closer, so that this thread never drops their last
// reference. Used by one thread only.
class ServiceTransportStream {
 public:
  // `may_carry_descriptors`: the kernel does not refuse descriptors sent
  // over this (Unix) connection; it is then let go through `closer`, which
  // must outlive the stream. Without one it is never closed at all.
  ServiceTransportStream(ServiceTransportForm form, sys::UniqueFd fd,
                         bool may_carry_descriptors = false, ConnectionCloser* closer = nullptr)
      : form_(form),
        fd_(std::move(fd)),
        may_carry_descriptors_(may_carry_descriptors),
        closer_(closer) {}
  ServiceTransportStream(ServiceTransportStream&&) noexcept = default;
  ServiceTransportStream& operator=(ServiceTransportStream&& other) noexcept;
  ServiceTransportStream(const ServiceTransportStream&) = delete;
  ServiceTransportStream& operator=(const ServiceTransportStream&) = delete;
  ~ServiceTransportStream();

  // Reads one line-framed request of at most SERVICE_IPC_MESSAGE_LIMIT bytes.
  // After a successful validate_client_executable, a read the kernel
  // attributes to another process than the verified one ends in the refusal
  // the check gives a foreign client, naming that process, and the bytes are
  // not looked at; so does a request that comes with descriptors, which are
  // never taken. Linux records the writer of every chunk; XNU only the last
  // process that used the client's end, which the bytes need not come from.
  // For a caller that wants the request alone.
  Result<service_ipc::ServiceRunnerRequest> read_request();
  // The same read, for a loop that reads many connections side by side: it
  // takes what has arrived by now and never waits. nullopt while the request
  // is not complete; what was read is kept for the next call. The request
  // comes with the verified peer, confirmed.
  std::optional<Result<PeerRequest>> read_request_available();
  // Ends a read whose budget ran out before the request was complete: the
  // failure an expired read gives (or a stranger's refusal).
  std::string read_request_expired();

  // Writes the compact JSON response and a line feed.
  Result<void> write_response(const service_ipc::StatusResponse& response);
  // The same write without waiting: true once all of it has gone, false
  // while the rest waits for room (write_more).
  Result<bool> begin_response(const service_ipc::StatusResponse& response);
  Result<bool> write_more();
  // Accepts the peer only if its executable is the authorized client, named
  // by `authorized_client`, canonical or not. With `required_group`, the
  // peer must also have connected with that effective gid (the authorized
  // client's set-group-ID group). The stream keeps the verified process for
  // the read, whose look at it afterwards also proves that what this check
  // read under the process id was that process's: an acceptance stands only
  // with a request read after it, and who the peer is comes with that
  // request (ConfirmedPeer). What the acceptance tells is the process id the
  // kernel recorded at connect(), to count the peer's connections by.
  Result<pid_t> validate_client_executable(const std::filesystem::path& authorized_client,
                                           std::optional<gid_t> required_group = std::nullopt);

  // The confirmed peer's supplementary groups, from the kernel's record of
  // the connection. For the requests that act with its rights.
  std::vector<gid_t> peer_groups(const ConfirmedPeer& peer) const;

  ServiceTransportForm form() const { return form_; }
  int native_handle() const { return fd_.get(); }

 private:
  // One read of the connection; the first chunk a stranger wrote, or that
  // comes with descriptors, ends the read (EPERM) and is kept as the stranger.
  SocketResult<std::size_t> read_chunk(char* buffer, std::size_t size);
  // What the read came to, once it ended.
  Result<PeerRequest> finish_read(const SocketResult<std::string_view>& line);
  // Who other than the verified process wrote, as the read saw it or, that
  // failing, as the look at the verified process after the read tells.
  std::optional<pid_t> stranger_after_read() const;
  // The refusal of a request written, wholly or in part, by `writer`.
  std::string refusal_of_writer(pid_t writer) const;
  // Keeps `peer` as the verified process and tells its id.
  pid_t accept(platform::PeerProcess peer);
  void release();

  ServiceTransportForm form_;
  sys::UniqueFd fd_;
  bool may_carry_descriptors_ = false;
  ConnectionCloser* closer_ = nullptr;
  // Held by pointer: an optional of the move-only record trips g++ 12's
  // maybe-uninitialized analysis when the stream is moved into a Result.
  std::unique_ptr<platform::PeerProcess> verified_;
  // A request read so far, and a response not yet sent in full; each only
  // while it is under way.
  struct Reading {
    LineReader reader;
    // The first writer other than the verified peer, once one has been seen.
    std::optional<pid_t> stranger;
  };
  std::unique_ptr<Reading> reading_;
  std::unique_ptr<std::string> unsent_;
};

}  // namespace app_lib::service_transport
