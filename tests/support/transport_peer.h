#pragma once

// The other end of the transport: real listeners that accept from the test's
// own client, from a scripted server thread, or from helper processes.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "app_lib/service_transport/transport.h"
#include "tests/support/process.h"

namespace nimbletrace_test {

// Parameter names of tests run over both transport forms.
std::string form_name(
    const testing::TestParamInfo<app_lib::service_transport::ServiceTransportForm>& info);
inline auto both_forms() {
  return testing::Values(app_lib::service_transport::ServiceTransportForm::Tcp,
                         app_lib::service_transport::ServiceTransportForm::Unix);
}

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
    app_lib::service_transport::ServiceTransportListener& listener,
    std::chrono::milliseconds limit = WAIT_LIMIT);

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

// A Unix listener in `dir` that helper processes, started from any copy of
// the test binary, connect to.
class PeerServer {
 public:
  explicit PeerServer(const std::filesystem::path& dir);
  // Starts `program --nt-helper HELPER <socket path>` and returns the accepted
  // connection (nullopt if none arrived in time) together with the child.
  // The helpers: "peer_connect_and_hold" connects, proves it with one byte,
  // and stays until the test closes its end; "peer_connect_and_exit" exits
  // right after the byte, leaving a connection whose peer is gone.
  std::pair<std::optional<app_lib::service_transport::ServiceTransportStream>,
            std::optional<Process>>
  connect_helper(const std::filesystem::path& program, const std::string& helper);

 private:
  BoundListener bound_;
};

}  // namespace nimbletrace_test
