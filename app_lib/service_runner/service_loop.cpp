#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "app_lib/platform/process_identity.h"
#include "app_lib/service_runner/client_group_binding.h"
#include "app_lib/service_runner/config_readers.h"
#include "app_lib/service_runner/core_launch.h"
#include "app_lib/service_runner/service_endpoint.h"
#include "app_lib/service_runner/service_runner.h"
#include "app_lib/service_transport/connection_closer.h"
#include "app_lib/sys/descriptor_limit.h"
#include "app_lib/sys/message.h"
#include "app_lib/sys/path_text.h"
#include "app_lib/sys/sys_error.h"

namespace app_lib::service_runner {

using service_ipc::ServiceRunnerRequest;
using service_ipc::ServiceRunnerStatus;
using service_ipc::StatusResponse;
using service_transport::ConnectionCloser;
using service_transport::ServiceTransport;
using service_transport::ServiceTransportStream;

namespace {

// The pause after an accept failure, and the longest idle wait of a loop
// that has no shutdown pipe to wait on.
constexpr int PAUSE_MS = 120;

StatusResponse make_response(bool ok, std::string message, ServiceRunnerStatus data) {
  return StatusResponse{ok, std::move(message), data, service_ipc::SERVICE_IPC_PROTOCOL_VERSION};
}

// The six checks that stand between a privileged service and its socket.
Result<void> check_privileged_install() {
  auto running = platform::current_executable_path();
  if (!running) return fail(running.error());
  auto running_canonical = sys::canonicalize(*running);
  if (!running_canonical)
    return fail(sys::with_cause("解析 macOS 服务宿主路径失败", running_canonical.error()));
  auto protected_canonical = sys::canonicalize(ServiceRunner::macos_protected_host_path());
  if (!protected_canonical) {
    return fail(sys::with_cause("解析受保护的 macOS 服务宿主失败", protected_canonical.error()));
  }
  if (!sys::same_components(*running_canonical, *protected_canonical)) {
    return fail(
        sys::with_cause("拒绝从非受保护目录运行 macOS 服务", sys::path_text(*running_canonical)));
  }
  if (!sys::exists_following_links(ServiceRunner::macos_core_binary_path())) {
    return fail("macOS 服务核心文件不存在，请重新安装 PKG");
  }
  auto client = ServiceRunner::macos_authorized_client_executable();
  if (!client) return fail(client.error());
  return {};
}

// Connections whose request is being read or whose response is being
// written, at most: every verified connection is read side by side with the
// others, each within its own budget, so a silent client holds a place here
// and nothing else.
constexpr std::size_t PENDING_LIMIT = 256;
// Places one process may hold. A process over it, and when the set is full
// the process holding the most, loses its oldest connection; so a process
// that has none always gets a place.
constexpr std::size_t PROCESS_PENDING_LIMIT = 8;
// Connections accepted in a row before the pending ones are read again.
constexpr int ACCEPT_BATCH = 64;

using Clock = std::chrono::steady_clock;

// Sleeps after poll itself failed, so that the loop does not spin.
void pause_briefly() {
  timespec pause{0, PAUSE_MS * 1'000'000L};
  ::nanosleep(&pause, nullptr);
}

int ms_until(Clock::time_point at) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(at - Clock::now());
  return static_cast<int>(std::clamp<long long>(left.count(), 0, 60'000));
}

// One connection from its accept to the last byte of its response.
struct Exchange {
  enum class Phase { Reading, Working, Writing, Done };

  explicit Exchange(ServiceTransportStream accepted)
      : stream(std::move(accepted)),
        deadline(Clock::now() + service_transport::SERVICE_CONNECTION_TIMEOUT) {}

  ServiceTransportStream stream;
  // The process that connected, as the kernel recorded it; 0 when none was
  // verified (refused peers, mock mode). Only for sharing places out among
  // processes: nothing is done for the peer before its request is read.
  pid_t process = 0;
  Phase phase = Phase::Reading;
  // The end of the read budget, of the configuration read, or of the write.
  Clock::time_point deadline;
  // Who asked for a start, with its groups, as the read confirmed it.
  std::optional<platform::PeerCredentials> requester;
  // A start request while its configuration is read.
  std::optional<service_ipc::StartCore> start;
  std::shared_ptr<ConfigReaders::Read> read;

  bool holds_place() const { return phase == Phase::Reading || phase == Phase::Writing; }
};

class ServingLoop {
 public:
  ServingLoop(service_transport::ServiceTransportListener& listener, ConnectionCloser* closer,
              sys::FileRereader* authorized_file, const sys::WakePipe* wake, ConfigReaders& readers)
      : listener_(listener),
        closer_(closer),
        authorized_file_(authorized_file),
        wake_(wake),
        readers_(readers) {}

  // Serves until the stop flag is set; an error ends the loop.
  Result<void> run();

 private:
  Result<void> accept_waiting(bool& more);
  Result<void> admit(ServiceTransportStream stream);
  std::optional<gid_t> bound_group(const std::string& authorized_client);
  void make_room_for(pid_t process);
  void read_from(Exchange& exchange);
  void dispatch(Exchange& exchange, const service_transport::PeerRequest& read);
  void finish_start(Exchange& exchange, Result<std::string> bytes);
  void start_read(Exchange& exchange);
  void collect_reads();
  void start_waiting_reads();
  void expire(Exchange& exchange);
  void respond(Exchange& exchange, const StatusResponse& response);
  template <class Step>
  void guarded(Exchange& exchange, Step&& step);
  void wait(bool more_to_accept, bool accept_more);

  service_transport::ServiceTransportListener& listener_;
  ConnectionCloser* closer_;
  sys::FileRereader* authorized_file_;
  ClientGroupBinding binding_;
  const sys::WakePipe* wake_;
  ConfigReaders& readers_;
  std::vector<Exchange> exchanges_;
  ServiceRunnerStatus last_status_ = ServiceRunnerStatus::Stopped;
  // After an accept failure other than an empty queue the listener rests:
  // the connection is still queued, and asking again at once would spin
  // while, say, descriptors are exhausted.
  Clock::time_point listener_rests_until_{};
};

// Whatever a request makes the service run into (an allocation that fails
// included) is that request's failure, never the end of a root service that
// holds a running core and a socket.
template <class Step>
void ServingLoop::guarded(Exchange& exchange, Step&& step) {
  std::string cause;
  try {
    step();
    return;
  } catch (const std::exception& error) {
    cause = error.what();
  } catch (...) {
    cause = "unknown exception";
  }
  try {
    exchange.phase = Exchange::Phase::Done;
    respond(exchange, make_response(false, sys::with_cause("处理 macOS 服务请求失败", cause),
                                    ServiceRunnerStatus::Unavailable));
  } catch (...) {
    // Nothing more can be told to this client; the connection closes.
    exchange.phase = Exchange::Phase::Done;
  }
}

// Sends what the socket takes now; the rest waits for room within the write
// budget. A write that fails is not retried and not reported.
void ServingLoop::respond(Exchange& exchange, const StatusResponse& response) {
  auto sent = exchange.stream.begin_response(response);
  if (sent && !*sent) {
    exchange.phase = Exchange::Phase::Writing;
    exchange.deadline = Clock::now() + service_transport::SERVICE_CONNECTION_TIMEOUT;
    return;
  }
  exchange.phase = Exchange::Phase::Done;
}

// The peer check runs at once, so a refused peer is answered and let go at
// once; a verified one joins the connections being read.
Result<void> ServingLoop::admit(ServiceTransportStream stream) {
  Exchange& exchange = exchanges_.emplace_back(std::move(stream));
  std::optional<std::string> ended;
  guarded(exchange, [&] {
    if (authorized_file_ != nullptr) {
      // Read afresh for every connection, so replacing the file takes effect
      // without a restart. Without an authorized client there is nobody the
      // service may serve, so it ends instead of guessing; the core is left
      // alone.
      auto named = ServiceRunner::macos_authorized_client_name(*authorized_file_);
      if (!named) {
        ended = named.error();
        return;
      }
      // The check resolves the authorized name itself, and only when the
      // peer's own name differs from it. Whether it resolves is asked again
      // only for a refusal: a name that leads nowhere ends the loop, just as
      // it would had it been resolved before the check.
      auto process = exchange.stream.validate_client_executable(*named, bound_group(*named));
      if (!process) {
        if (auto authorized = ServiceRunner::macos_authorized_client_resolved(*named);
            !authorized) {
          ended = authorized.error();
          return;
        }
        respond(exchange, make_response(false, process.error(), ServiceRunnerStatus::Unavailable));
        return;
      }
      exchange.process = *process;
    }
  });
  if (ended) {
    exchanges_.pop_back();
    return fail(std::move(*ended));
  }
  // Room is made for the newcomer, so it is never the one to go.
  Exchange& admitted = exchanges_.back();
  if (admitted.holds_place()) make_room_for(admitted.process);
  // Most clients have sent their request by the time it is accepted.
  if (admitted.phase == Exchange::Phase::Reading) read_from(admitted);
  return {};
}

// The group the authorized client binds connections to, if any. What the
// binding finds wrong is told once per change of the file, not per
// connection.
std::optional<gid_t> ServingLoop::bound_group(const std::string& authorized_client) {
  auto look = binding_.look(std::filesystem::path(authorized_client));
  if (look.notice) std::fwrite(look.notice->data(), 1, look.notice->size(), stderr);
  return look.required_group;
}

// Ends the oldest connection of the process over its allowance, or, with
// the set full, of the process holding the most places. It is answered as a
// read that ran out of time.
void ServingLoop::make_room_for(pid_t process) {
  std::size_t held = 0;
  std::size_t own = 0;
  for (std::size_t i = 0; i + 1 < exchanges_.size(); ++i) {
    if (!exchanges_[i].holds_place()) continue;
    ++held;
    if (exchanges_[i].process == process) ++own;
  }
  std::optional<pid_t> loser;
  if (process != 0 && own >= PROCESS_PENDING_LIMIT) {
    loser = process;
  } else if (held >= PENDING_LIMIT) {
    std::vector<std::pair<pid_t, std::size_t>> counts;
    for (std::size_t i = 0; i + 1 < exchanges_.size(); ++i) {
      if (!exchanges_[i].holds_place()) continue;
      auto it = std::ranges::find(counts, exchanges_[i].process, &std::pair<pid_t, std::size_t>::first);
      if (it == counts.end()) {
        counts.emplace_back(exchanges_[i].process, 1);
      } else {
        ++it->second;
      }
    }
    loser = std::ranges::max(counts, {}, &std::pair<pid_t, std::size_t>::second).first;
  }
  if (!loser) return;
  // Exchanges are kept in the order they were accepted.
  for (std::size_t i = 0; i + 1 < exchanges_.size(); ++i) {
    Exchange& oldest = exchanges_[i];
    if (!oldest.holds_place() || oldest.process != *loser) continue;
    if (oldest.phase == Exchange::Phase::Reading) {
      (void)oldest.stream.begin_response(make_response(false, oldest.stream.read_request_expired(),
                                                       ServiceRunnerStatus::Unavailable));
    }
    // A response that did not go out at once is given up with its place.
    oldest.phase = Exchange::Phase::Done;
    return;
  }
}

void ServingLoop::read_from(Exchange& exchange) {
  guarded(exchange, [&] {
    auto request = exchange.stream.read_request_available();
    if (!request) return;
    if (!*request) {
      respond(exchange,
              make_response(false, request->error(), ServiceRunnerStatus::Unavailable));
      return;
    }
    dispatch(exchange, **request);
  });
}

void ServingLoop::expire(Exchange& exchange) {
  guarded(exchange, [&] {
    switch (exchange.phase) {
      case Exchange::Phase::Reading:
        respond(exchange, make_response(false, exchange.stream.read_request_expired(),
                                        ServiceRunnerStatus::Unavailable));
        return;
      case Exchange::Phase::Working:
        // One still waiting for a thread ran out of time before its read began.
        finish_start(exchange, exchange.read ? exchange.read->abandon()
                                             : fail(config_read_failure(
                                                   ConfigReadStep::Directory,
                                                   sys::sys_error_text(ETIMEDOUT))));
        return;
      case Exchange::Phase::Writing:
      case Exchange::Phase::Done:
        exchange.phase = Exchange::Phase::Done;
        return;
    }
  });
}

void ServingLoop::dispatch(Exchange& exchange, const service_transport::PeerRequest& read) {
  const ServiceRunnerRequest& request = read.request;
  ServiceRunnerStatus& last = last_status_;
  const auto probe = [&](std::string_view text) {
    auto status = ServiceRunner::service_core_process_status();
    if (!status) return make_response(false, status.error(), ServiceRunnerStatus::Unavailable);
    last = *status;
    return make_response(true, std::string(text), *status);
  };
  if (std::holds_alternative<service_ipc::Ping>(request)) {
    return respond(exchange, probe("service runner pong"));
  }
  if (std::holds_alternative<service_ipc::GetStatus>(request)) {
    return respond(exchange, probe("service runner status"));
  }
  if (std::holds_alternative<service_ipc::StopCore>(request)) {
    auto stopped = ServiceRunner::service_stop_core_process();
    if (!stopped) return respond(exchange, make_response(false, stopped.error(), last));
    last = ServiceRunnerStatus::Stopped;
    return respond(exchange,
                   make_response(true, std::move(*stopped), ServiceRunnerStatus::Stopped));
  }
  const auto& start = std::get<service_ipc::StartCore>(request);
  if (auto installed = check_core_installed(); !installed) {
    return respond(exchange,
                   make_response(false, installed.error(), ServiceRunnerStatus::Unavailable));
  }
  // Only starting the core acts with the requester's rights, and only it
  // needs the groups.
  if (read.peer) {
    exchange.requester = read.peer->credentials();
    exchange.requester->groups = exchange.stream.peer_groups(*read.peer);
  }
  exchange.phase = Exchange::Phase::Working;
  exchange.deadline = Clock::now() + ConfigReaders::TIME_LIMIT;
  exchange.start = start;
  start_read(exchange);
}

// Starts the configuration read of a start that waits for a thread, if one
// is free; refuses it at once while every thread is stuck.
void ServingLoop::start_read(Exchange& exchange) {
  switch (readers_.room()) {
    case ConfigReaders::Room::Busy:
      return;
    case ConfigReaders::Room::Exhausted:
      return respond(exchange,
                     make_response(false,
                                   config_read_failure(ConfigReadStep::Directory,
                                                       sys::sys_error_text(EAGAIN)),
                                   ServiceRunnerStatus::Unavailable));
    case ConfigReaders::Room::Free:
      break;
  }
  auto read = readers_.start(exchange.start->launch, exchange.requester, exchange.deadline);
  if (!read) {
    return respond(exchange, make_response(false, read.error(), ServiceRunnerStatus::Unavailable));
  }
  exchange.read = std::move(*read);
}

// The second half of a start runs here, on the loop's thread, one at a time
// with every other operation on the core.
void ServingLoop::finish_start(Exchange& exchange, Result<std::string> bytes) {
  exchange.read.reset();
  const auto start = std::move(exchange.start);
  exchange.start.reset();
  if (!bytes) {
    return respond(exchange, make_response(false, bytes.error(), ServiceRunnerStatus::Unavailable));
  }
  auto started = launch_core_with(start->launch, *bytes);
  if (!started) {
    return respond(exchange,
                   make_response(false, started.error(), ServiceRunnerStatus::Unavailable));
  }
  last_status_ = ServiceRunnerStatus::Running;
  respond(exchange, make_response(true, std::move(*started), ServiceRunnerStatus::Running));
}

// Answers the starts whose reads have finished, then gives the threads that
// came back to the starts waiting for one, in the order they came.
void ServingLoop::collect_reads() {
  readers_.drain();
  for (Exchange& exchange : exchanges_) {
    if (exchange.phase != Exchange::Phase::Working || !exchange.read) continue;
    if (auto outcome = exchange.read->take()) {
      guarded(exchange, [&] { finish_start(exchange, std::move(*outcome)); });
    }
  }
  start_waiting_reads();
}

void ServingLoop::start_waiting_reads() {
  for (Exchange& exchange : exchanges_) {
    if (exchange.phase == Exchange::Phase::Working && !exchange.read) {
      guarded(exchange, [&] { start_read(exchange); });
    }
  }
}

Result<void> ServingLoop::accept_waiting(bool& more) {
  more = false;
  if (Clock::now() < listener_rests_until_) return {};
  for (int accepted = 0; accepted < ACCEPT_BATCH; ++accepted) {
    if (closer_ != nullptr && !closer_->has_room()) return {};
    auto stream = listener_.accept();
    if (!stream) {
      const int error = stream.error().error_number;
      if (error == EAGAIN || error == EWOULDBLOCK) return {};
      // One connection was dropped on its way out of the queue, and will not
      // come again; the next may be there. XNU closes one that a socket
      // filter cannot take (bsd/kern/uipc_socket.c, soacceptfilter), and
      // hands out and clears the listener's so_error
      // (bsd/kern/uipc_syscalls.c, accept_nocancel).
      if (error == ECONNABORTED) continue;
      std::string line = std::move(stream.error().text) + "\n";
      std::fwrite(line.data(), 1, line.size(), stderr);
      listener_rests_until_ = Clock::now() + std::chrono::milliseconds(PAUSE_MS);
      return {};
    }
    if (auto admitted = admit(std::move(*stream)); !admitted) return admitted;
    // A refused or evicted connection goes at once, not with the batch.
    std::erase_if(exchanges_, [](const Exchange& e) { return e.phase == Exchange::Phase::Done; });
    // The stop flag is read after every accept, as before each.
    if (SERVICE_RUNNER_SHOULD_STOP.load(std::memory_order_acquire)) return {};
  }
  more = true;
  return {};
}

// Waits until a client is pending, a pending connection can be read or
// written, a configuration read has finished, a deadline passes or a
// shutdown is requested. An idle service costs no wake-up at all. Without
// a shutdown pipe only the ping could end the wait, so it ends after the
// pause as well.
void ServingLoop::wait(bool more_to_accept, bool accept_more) {
  std::vector<pollfd> pfds;
  pfds.reserve(exchanges_.size() + 4);
  const bool accepting = accept_more && Clock::now() >= listener_rests_until_ &&
                         (closer_ == nullptr || closer_->has_room());
  pfds.push_back({accepting ? listener_.native_handle() : -1, POLLIN, 0});
  pfds.push_back({wake_ != nullptr ? wake_->wait_fd() : -1, POLLIN, 0});
  pfds.push_back({readers_.ready_fd(), POLLIN, 0});
  // The channel is watched while idle too: a helper that dies hangs it up,
  // and is replaced then, not only when the next connection finds it gone.
  // POLLHUP is asked for by name: Linux reports it unasked, but XNU's poll
  // watches a descriptor only for the events asked (poll_nocancel registers
  // EVFILT_READ for POLLHUP among others, and poll_callback turns its EV_EOF
  // into POLLHUP; bsd/kern/sys_generic.c). The helper never writes to the
  // channel, so nothing else makes it ready.
  const bool room_wanted = closer_ != nullptr && closer_->holds_any();
  pfds.push_back({closer_ != nullptr ? closer_->channel_fd() : -1,
                  static_cast<short>(room_wanted ? POLLHUP | POLLOUT : POLLHUP), 0});
  constexpr std::size_t FIRST_EXCHANGE = 4;
  int timeout = wake_ != nullptr ? -1 : PAUSE_MS;
  const auto shorten = [&timeout](int ms) { timeout = timeout < 0 ? ms : std::min(timeout, ms); };
  if (more_to_accept) shorten(0);
  if (accept_more && Clock::now() < listener_rests_until_) shorten(ms_until(listener_rests_until_));
  if (closer_ != nullptr && closer_->wants_pump()) {
    shorten(static_cast<int>(std::max<long long>(closer_->until_restart().count(), 1)));
  }
  for (const Exchange& exchange : exchanges_) {
    const short events = exchange.phase == Exchange::Phase::Reading   ? POLLIN
                         : exchange.phase == Exchange::Phase::Writing ? POLLOUT
                                                                      : 0;
    pfds.push_back({events != 0 ? exchange.stream.native_handle() : -1, events, 0});
    shorten(ms_until(exchange.deadline));
  }
  const int ready = ::poll(pfds.data(), pfds.size(), timeout);
  if (ready < 0) {
    if (errno != EINTR) pause_briefly();
    return;
  }
  if ((pfds[1].revents & POLLIN) != 0) wake_->drain();
  if ((pfds[2].revents & POLLIN) != 0) collect_reads();
  if ((pfds[3].revents & (POLLHUP | POLLERR)) != 0) closer_->channel_hung_up();
  for (std::size_t i = 0; i < exchanges_.size(); ++i) {
    const short revents = pfds[FIRST_EXCHANGE + i].revents;
    if (revents == 0) continue;
    Exchange& exchange = exchanges_[i];
    if (exchange.phase == Exchange::Phase::Reading) {
      read_from(exchange);
    } else if (exchange.phase == Exchange::Phase::Writing) {
      auto sent = exchange.stream.write_more();
      if (!sent || *sent) exchange.phase = Exchange::Phase::Done;
    }
  }
}

Result<void> ServingLoop::run() {
  const auto finished = [](const Exchange& e) { return e.phase == Exchange::Phase::Done; };
  // An installation whose client binds nothing it seems to is told at
  // start-up, before any client connects.
  if (authorized_file_ != nullptr) {
    if (auto named = ServiceRunner::macos_authorized_client_name(*authorized_file_)) {
      (void)bound_group(*named);
    }
  }
  for (;;) {
    // Once the stop comes nothing more is accepted, but every connection
    // already accepted is served to its end, within its own budgets, as a
    // request in hand always was.
    const bool stopping = SERVICE_RUNNER_SHOULD_STOP.load(std::memory_order_acquire);
    bool more = false;
    if (!stopping) {
      if (closer_ != nullptr && closer_->wants_pump()) closer_->pump();
      if (auto accepted = accept_waiting(more); !accepted) return accepted;
    }
    // Let go of what is answered before waiting: the client sees its
    // exchange end when the connection does.
    std::erase_if(exchanges_, finished);
    if (stopping && exchanges_.empty()) return {};
    wait(more, !stopping);
    const auto now = Clock::now();
    for (Exchange& exchange : exchanges_) {
      if (exchange.phase != Exchange::Phase::Done && exchange.deadline <= now) expire(exchange);
    }
    // A read given up may leave every thread stuck: those waiting are told.
    start_waiting_reads();
    std::erase_if(exchanges_, finished);
  }
}

}  // namespace

ServiceTransport service_endpoint(bool mock) {
  if (mock) return ServiceTransport::tcp(ServiceRunner::endpoint_addr());
  return ServiceTransport::unix_socket(ServiceRunner::macos_service_socket_path());
}

Result<void> ServiceRunner::run_service_process_loop_with_ready(
    const std::function<void()>& ready) {
  const bool mock = mock_enabled();
  if (!mock) {
    if (auto checked = check_privileged_install(); !checked) return fail(checked.error());
  }

  // Made before the first wait, so that a shutdown requested from here on
  // always finds it. Without it the loop still ends: the ping wakes it, or
  // the longest wait, a pause without it, runs out.
  const auto& shutdown_wake = service_shutdown_wake();
  const sys::WakePipe* wake = shutdown_wake ? &*shutdown_wake : nullptr;

  // Declared first so that it outlives the listener, which it closes.
  std::optional<ConnectionCloser> closer;
  auto listener = service_endpoint(mock).bind_listener();
  if (!listener) return fail(listener.error());
  if (listener->may_carry_descriptors()) {
    // A backstop: no read of the service's installs what a client sent.
    sys::raise_descriptor_limit();
    auto program = platform::current_executable_path();
    if (!program) return fail(program.error());
    closer.emplace(std::move(*program),
                   std::vector<std::string>{std::string(service_transport::CONNECTION_CLOSER_ROLE)});
    listener->set_closer(&*closer);
  }
  if (ready) ready();

  auto readers = ConfigReaders::create();
  if (!readers) return fail(readers.error());
  std::optional<sys::FileRereader> authorized_file;
  if (!mock) authorized_file.emplace(macos_authorized_client_reader());
  ServingLoop loop(*listener, closer ? &*closer : nullptr,
                   authorized_file ? &*authorized_file : nullptr, wake, *readers);
  if (auto served = loop.run(); !served) return served;
  (void)service_stop_core_process();
  return {};
}

}  // namespace app_lib::service_runner
