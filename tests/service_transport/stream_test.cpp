#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <atomic>
#include <optional>

#include "app_lib/service_ipc/codec.h"
#include "app_lib/service_transport/transport.h"
#include "app_lib/sys/sys_error.h"
#include "tests/support/test_support.h"
#include "tests/support/transport_peer.h"

namespace nimbletrace_test {
namespace {

using namespace app_lib::service_ipc;
using app_lib::Result;
using app_lib::service_transport::ServiceTransportForm;

// A ping of exactly `size` JSON bytes, padded with `filler` inside a member
// the decoder skips. `filler` must divide the padding evenly.
std::string padded_ping(std::size_t size, std::string_view filler = "x") {
  std::string json = R"({"type":"ping","pad":")";
  const std::size_t pad = size - json.size() - 2;
  for (std::size_t i = 0; i < pad / filler.size(); ++i) json += filler;
  json += "\"}";
  EXPECT_EQ(json.size(), size);
  return json;
}

// An error that ends in ": " is a head followed by a cause from the system
// or the decoder; anything else must match exactly.
void expect_error(const Result<ServiceRunnerRequest>& result, const std::string& expected) {
  ASSERT_FALSE(result.has_value()) << "expected: " << expected;
  if (expected.ends_with(": ")) {
    EXPECT_TRUE(result.error().starts_with(expected)) << result.error();
    EXPECT_GT(result.error().size(), expected.size()) << "cause missing";
  } else {
    EXPECT_EQ(result.error(), expected);
  }
}

class StreamTest : public testing::TestWithParam<ServiceTransportForm> {
 protected:
  bool unix_form() const { return GetParam() == ServiceTransportForm::Unix; }

  // A client sends `bytes` (then half-closes if asked) while the service
  // reads one request from the connection.
  Result<ServiceRunnerRequest> read_sent(const std::string& bytes, bool half_close) {
    app_lib::sys::UniqueFd client = connect_raw(bound_.endpoint);
    if (!client) return app_lib::fail("client could not connect");
    std::thread writer([fd = client.get(), &bytes, half_close] {
      send_raw(fd, bytes);
      if (half_close) ::shutdown(fd, SHUT_WR);
    });
    Result<ServiceRunnerRequest> result = app_lib::fail("not accepted");
    {
      auto stream = accept_pending(bound_.listener);
      if (stream) result = stream->read_request();
    }  // Closing the service end frees a writer stuck on a full buffer.
    writer.join();
    return result;
  }

  TempDir dir_;
  BoundListener bound_ = bind_for_test(GetParam(), dir_.path());
};

TEST_P(StreamTest, ReadRequestFramesOneLineWithinTheLimit) {
  const std::string limit = unix_form() ? "ServiceRunner Unix Socket 消息超过 64KB 上限"
                                        : "ServiceRunner TCP 消息超过 64KB 上限";
  const std::string empty = unix_form() ? "请求格式错误: " : "请求为空";
  struct Case {
    const char* name;
    std::string bytes;
    bool half_close;
    std::optional<ServiceRunnerRequest> request;
    std::string error;
  };
  const Case cases[] = {
      {"65536-byte line with its feed", padded_ping(65535) + "\n", false, Ping{}, ""},
      {"65537-byte line with its feed", padded_ping(65536) + "\n", false, {}, limit},
      {"70000 bytes and no feed", std::string(70000, 'x'), false, {}, limit},
      {"no feed, then half-close", R"({"type":"get_status"})", true, GetStatus{}, ""},
      {"blanks, ideographic space and CR LF", "\xE3\x80\x80 \t{\"type\":\"stop_core\"} \r\n", false,
       StopCore{}, ""},
      {"multi-byte text across reads", padded_ping(30003, "\xE4\xB8\xAD") + "\n", false, Ping{},
       ""},
      {"bytes after the feed",
       "{\"type\":\"ping\"}\n{\"type\":\"stop_core\"}\n" + std::string(70000, '\xFF'), false,
       Ping{}, ""},
      {"invalid UTF-8", "{\"type\":\"p\xFFing\"}\n", false, {}, "请求不是有效 UTF-8: "},
      {"oversize and invalid UTF-8", std::string(65537, '\xFF'), false, {}, limit},
      {"empty line", "\n", false, {}, empty},
      {"only white space", "\xE3\x80\x80 \r\n", false, {}, empty},
      {"closed without a byte", "", true, {}, empty},
      {"two values", "{\"type\":\"ping\"} {\"type\":\"ping\"}\n", false, {}, "请求格式错误: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = read_sent(c.bytes, c.half_close);
    if (c.request) {
      ASSERT_OK(result);
      EXPECT_TRUE(*result == *c.request);
    } else {
      expect_error(result, c.error);
    }
  }
}

TEST_P(StreamTest, TricklingClientIsCutOffAtTheBudget) {
  app_lib::sys::UniqueFd client = connect_raw(bound_.endpoint);
  ASSERT_TRUE(client.valid());
  std::atomic<bool> done{false};
  // One byte at a time, each well inside a single read timeout. Should the
  // budget not hold, the client finally half-closes and the read would end
  // with a decoding error instead.
  std::thread writer([fd = client.get(), &done] {
    send_raw(fd, "{");
    for (int i = 0; i < 40 && !done; ++i) {
      std::this_thread::sleep_for(250ms);
      if (!send_raw(fd, " ")) break;
    }
    ::shutdown(fd, SHUT_WR);
  });
  Result<ServiceRunnerRequest> result = app_lib::fail("not accepted");
  {
    auto stream = accept_pending(bound_.listener);
    if (stream) result = stream->read_request();
  }
  done = true;
  writer.join();
  expect_error(result, std::string(unix_form() ? "读取 Unix Socket 请求失败: " : "读取请求失败: ") +
                           app_lib::sys::sys_error_text(EAGAIN));
}

// The loop tells an empty queue from a failure by the error number alone.
TEST_P(StreamTest, AcceptNeverWaits) {
  auto stream = bound_.listener.accept();
  ASSERT_FALSE(stream.has_value());
  EXPECT_EQ(stream.error().error_number, EAGAIN);
}

TEST_P(StreamTest, AcceptedConnectionIsNonBlockingWithTimeoutsAndClosesOnExec) {
  app_lib::sys::UniqueFd client = connect_raw(bound_.endpoint);
  ASSERT_TRUE(client.valid());
  auto stream = accept_pending(bound_.listener);
  ASSERT_OK(stream);
  EXPECT_EQ(stream->form(), GetParam());
  const int fd = stream->native_handle();
  EXPECT_TRUE(::fcntl(fd, F_GETFL) & O_NONBLOCK);
  EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
  for (int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
    timeval tv{};
    socklen_t length = sizeof tv;
    ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, option, &tv, &length), 0);
    EXPECT_EQ(tv.tv_sec, 2);
    EXPECT_EQ(tv.tv_usec, 0);
  }
}

// The write side of the budget: a client that reads a little now and then
// lets every single send make progress long before a per-call timeout, yet
// at that pace a large response would hold the loop for minutes.
TEST_P(StreamTest, SlowReaderIsCutOffAtTheWriteBudget) {
  const StatusResponse response{false, std::string(8 << 20, 'x'), ServiceRunnerStatus::Stopped, 1};
  app_lib::sys::UniqueFd client = connect_raw(bound_.endpoint);
  ASSERT_TRUE(client.valid());
  std::atomic<bool> done{false};
  std::thread reader([fd = client.get(), &done] {
    char chunk[4096];
    for (int i = 0; i < 40 && !done; ++i) {
      std::this_thread::sleep_for(250ms);
      if (::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT) == 0) break;
    }
  });
  Result<void> written = app_lib::fail("not accepted");
  {
    auto stream = accept_pending(bound_.listener);
    if (stream) written = stream->write_response(response);
  }
  done = true;
  reader.join();
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error(),
            std::string(unix_form() ? "写入 Unix Socket 响应失败: " : "写入响应失败: ") +
                app_lib::sys::sys_error_text(EAGAIN));
}

TEST_P(StreamTest, WriteResponseSendsOneCompactLine) {
  const StatusResponse response{false, "第一行\n\t\"第二行\"", ServiceRunnerStatus::Stopped, 1};
  app_lib::sys::UniqueFd client = connect_raw(bound_.endpoint);
  ASSERT_TRUE(client.valid());
  {
    auto stream = accept_pending(bound_.listener);
    ASSERT_OK(stream);
    ASSERT_OK(stream->write_response(response));
  }
  const std::string received = receive_until_eof(client.get());
  std::string expected;
  ASSERT_OK(app_lib::service_ipc::encode_response(response, expected));
  EXPECT_EQ(received, expected + "\n");
  auto decoded = app_lib::service_ipc::decode_response(received);
  ASSERT_OK(decoded);
  EXPECT_EQ(*decoded, response);
}

INSTANTIATE_TEST_SUITE_P(BothForms, StreamTest, both_forms(), form_name);

// Writes responses to a client that has already hung up until one fails, and
// exits 0 if that failure carries the write message. Children start with
// SIGPIPE at its default action, so a write that raised it would kill this.
NIMBLETRACE_TEST_HELPER(write_to_closed_peer) {
  const bool unix_form = std::string_view(argv[0]) == "unix";
  BoundListener bound =
      bind_for_test(unix_form ? ServiceTransportForm::Unix : ServiceTransportForm::Tcp, argv[1]);
  connect_raw(bound.endpoint).reset();
  auto stream = accept_pending(bound.listener);
  if (!stream) return 3;
  const StatusResponse response{true, "service runner pong", ServiceRunnerStatus::Running, 1};
  for (int i = 0; i < 100; ++i) {
    auto written = stream->write_response(response);
    if (!written) {
      return written.error().starts_with(unix_form ? "写入 Unix Socket 响应失败: "
                                                   : "写入响应失败: ")
                 ? 0
                 : 5;
    }
  }
  return 4;
}

TEST(StreamWriteTest, WriteToAClosedPeerFailsWithoutSignal) {
  for (const char* form : {"unix", "tcp"}) {
    SCOPED_TRACE(form);
    TempDir dir;
    auto child = Process::start({.argv = {self_executable().string(), "--nt-helper",
                                          "write_to_closed_peer", form, dir.path().native()}});
    ASSERT_OK(child);
    const std::optional<int> status = child->wait_exit();
    if (!status) FAIL() << "helper did not finish in time";
    ASSERT_TRUE(WIFEXITED(*status)) << "helper died of signal " << WTERMSIG(*status);
    EXPECT_EQ(WEXITSTATUS(*status), 0);
  }
}

}  // namespace
}  // namespace nimbletrace_test
