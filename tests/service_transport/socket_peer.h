#pragma once

// Raw socket ends for driving the transport from the other side, with every
// wait bounded so a broken transport fails a test instead of hanging it.

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

#include "app_lib/service_transport/transport.h"
#include "app_lib/sys/fd.h"

namespace nimbletrace_test {

using namespace std::chrono_literals;

// Longest any single step of a test may wait before it counts as hung.
inline constexpr std::chrono::seconds STEP_LIMIT{10};

// Binds "s.sock" inside `dir` or "127.0.0.1:0" and returns the listener along
// with an endpoint that a client can connect to.
struct BoundListener {
  app_lib::service_transport::ServiceTransportListener listener;
  app_lib::service_transport::ServiceTransport endpoint;
};
BoundListener bind_for_test(app_lib::service_transport::ServiceTransportForm form,
                            const std::filesystem::path& dir);

// Waits (bounded) for a pending connection and accepts it.
app_lib::Result<app_lib::service_transport::ServiceTransportStream> accept_pending(
    app_lib::service_transport::ServiceTransportListener& listener);

// A plain blocking client connection; invalid on failure.
app_lib::sys::UniqueFd connect_raw(const app_lib::service_transport::ServiceTransport& endpoint);

// Sends all bytes; false once the peer is gone.
bool send_raw(int fd, std::string_view bytes);

// Everything the peer sends until it closes (bounded).
std::string receive_until_eof(int fd);

// The bytes up to and including the first line feed (bounded).
std::string receive_line(int fd);

// A server that accepts one connection on a real listener and runs `script`
// on it in its own thread. Destruction joins the thread.
class ScriptedPeer {
 public:
  using Script = std::function<void(app_lib::service_transport::ServiceTransportStream&)>;
  ScriptedPeer(app_lib::service_transport::ServiceTransportForm form,
               const std::filesystem::path& dir, Script script);
  ~ScriptedPeer();
  const app_lib::service_transport::ServiceTransport& endpoint() const { return bound_.endpoint; }

 private:
  BoundListener bound_;
  std::thread thread_;
};

}  // namespace nimbletrace_test
