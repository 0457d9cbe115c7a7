#include <optional>

#include "app_lib/service_ipc/codec.h"
#include "app_lib/service_transport/transport.h"
#include "app_lib/sys/sys_error.h"
#include "tests/support/test_support.h"
#include "tests/support/transport_peer.h"

namespace nimbletrace_test {
namespace {

using namespace app_lib::service_ipc;
using namespace app_lib::service_transport;
using app_lib::Result;
using app_lib::sys::sys_error_text;

const StatusResponse PONG{true, "service runner pong", ServiceRunnerStatus::Running, 1};

// A start_core request whose JSON text is exactly `size` bytes long.
ServiceRunnerRequest start_core_of_size(std::size_t size) {
  ServiceRunnerCoreLaunchConfig launch{"", "/u/.nimbletrace/config.yaml", std::string(64, 'a'),
                                       "127.0.0.1", 9090};
  std::string json;
  EXPECT_TRUE(app_lib::service_ipc::encode_request(StartCore{launch}, json).has_value());
  launch.config_dir.assign(size - json.size(), 'd');
  json.clear();
  EXPECT_TRUE(app_lib::service_ipc::encode_request(StartCore{launch}, json).has_value());
  EXPECT_EQ(json.size(), size);
  return StartCore{launch};
}

TEST(ClientConnectTest, UnixWithoutSocketFileFailsToConnect) {
  TempDir dir;
  const auto endpoint = ServiceTransport::unix_socket(dir / "absent.sock");
  auto response = endpoint.send_request(Ping{}, 500ms);
  ASSERT_FALSE(response.has_value());
  EXPECT_EQ(response.error(), "连接 ServiceRunner Unix Socket 失败(" +
                                  (dir / "absent.sock").native() + "): " + sys_error_text(ENOENT));
}

TEST(ClientConnectTest, TcpWithNothingListeningFailsToConnect) {
  const LoopbackPort holder = bind_loopback_port();
  ASSERT_TRUE(holder.socket.valid());
  const std::string addr = holder.endpoint;

  auto response = ServiceTransport::tcp(addr).send_request(Ping{}, 500ms);
  ASSERT_FALSE(response.has_value());
  EXPECT_EQ(response.error(),
            "连接 ServiceRunner IPC 失败(" + addr + "): " + sys_error_text(ECONNREFUSED));
}

TEST(ClientConnectTest, TcpEndpointWithoutPortIsAResolutionFailure) {
  auto response = ServiceTransport::tcp("localhost").send_request(Ping{}, 500ms);
  ASSERT_FALSE(response.has_value());
  const std::string head = "连接 ServiceRunner IPC 失败(localhost): ";
  EXPECT_TRUE(response.error().starts_with(head)) << response.error();
  EXPECT_GT(response.error().size(), head.size()) << "cause missing";
}

class ClientTest : public testing::TestWithParam<ServiceTransportForm> {
 protected:
  bool unix_form() const { return GetParam() == ServiceTransportForm::Unix; }
  ScriptedPeer peer(ScriptedPeer::Script script) {
    return ScriptedPeer(GetParam(), dir_.path(), std::move(script));
  }
  TempDir dir_;
};

TEST_P(ClientTest, ExchangesWithTheServiceStream) {
  std::optional<ServiceRunnerRequest> seen;
  Result<StatusResponse> response = app_lib::fail("not sent");
  {
    ScriptedPeer service(GetParam(), dir_.path(), [&](ServiceTransportStream& stream) {
      auto request = stream.read_request();
      if (request) seen = *request;
      EXPECT_OK(stream.write_response(PONG));
    });
    response = service.endpoint().send_request(Ping{}, WAIT_LIMIT);
  }
  ASSERT_OK(response);
  EXPECT_EQ(*response, PONG);
  ASSERT_TRUE(seen.has_value());
  EXPECT_TRUE(*seen == ServiceRunnerRequest{Ping{}});
}

TEST_P(ClientTest, ReadsTheFirstLineOfWhateverThePeerAnswers) {
  const std::string read_failed = unix_form() ? "读取 ServiceRunner Unix Socket 响应失败: "
                                              : "读取 ServiceRunner IPC 响应失败: ";
  const std::string big_message(70000, 'm');
  struct Case {
    const char* name;
    std::string answer;  // sent after the request line, then the peer closes
    std::optional<StatusResponse> response;
    std::string error_head;  // exact when it does not end in ": "
  };
  const Case cases[] = {
      {"closed without answering",
       "",
       {},
       unix_form() ? "解析 ServiceRunner IPC 响应失败: " : "ServiceRunner IPC 响应为空"},
      {"only white space",
       " \r\n",
       {},
       unix_form() ? "解析 ServiceRunner IPC 响应失败: " : "ServiceRunner IPC 响应为空"},
      {"line over 64 KiB",
       R"({"ok":true,"message":")" + big_message +
           R"(","data":"Running","protocol_version":1})"
           "\n",
       StatusResponse{true, big_message, ServiceRunnerStatus::Running, 1}, ""},
      {"CR LF and more lines",
       "{\"ok\":false,\"message\":\"refused\",\"data\":null,\"protocol_version\":2}\r\n{oops\n",
       StatusResponse{false, "refused", std::nullopt, 2}, ""},
      {"end of stream instead of a feed", R"({"message":"m","ok":true})",
       StatusResponse{true, "m", std::nullopt, 0}, ""},
      {"member beyond a double",
       "{\"ok\":true,\"message\":\"m\",\"later\":1e400,\"protocol_version\":1}\n",
       StatusResponse{true, "m", std::nullopt, 1}, ""},
      {"invalid UTF-8", "{\"ok\":true,\"message\":\"\xFF\"}\n", {}, read_failed},
      {"text after the value",
       "{\"ok\":true,\"message\":\"\"} x\n",
       {},
       "解析 ServiceRunner IPC 响应失败: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Result<StatusResponse> response = app_lib::fail("not sent");
    {
      ScriptedPeer service = peer([&](ServiceTransportStream& stream) {
        EXPECT_FALSE(receive_line(stream.native_handle()).ends_with(TIMED_OUT));
        send_raw(stream.native_handle(), c.answer);
      });
      response = service.endpoint().send_request(Ping{}, WAIT_LIMIT);
    }
    if (c.response) {
      ASSERT_OK(response);
      EXPECT_EQ(*response, *c.response);
    } else if (c.error_head.ends_with(": ")) {
      ASSERT_FALSE(response.has_value());
      EXPECT_TRUE(response.error().starts_with(c.error_head)) << response.error();
      EXPECT_GT(response.error().size(), c.error_head.size()) << "cause missing";
    } else {
      ASSERT_FALSE(response.has_value());
      EXPECT_EQ(response.error(), c.error_head);
    }
  }
}

TEST_P(ClientTest, AnswerLaterThanTheLimitFailsTheRead) {
  Result<StatusResponse> response = app_lib::fail("not sent");
  {
    ScriptedPeer service = peer([](ServiceTransportStream& stream) {
      EXPECT_FALSE(receive_line(stream.native_handle()).ends_with(TIMED_OUT));
      // Holds the answer back until the client gives up and hangs up.
      EXPECT_FALSE(receive_until_eof(stream.native_handle()).ends_with(TIMED_OUT));
    });
    response = service.endpoint().send_request(Ping{}, 100ms);
  }
  ASSERT_FALSE(response.has_value());
  EXPECT_EQ(response.error(), std::string(unix_form() ? "读取 ServiceRunner Unix Socket 响应失败: "
                                                      : "读取 ServiceRunner IPC 响应失败: ") +
                                  sys_error_text(EAGAIN));
}

TEST_P(ClientTest, ZeroLimitMeansNoLimit) {
  Result<StatusResponse> response = app_lib::fail("not sent");
  {
    ScriptedPeer service = peer([](ServiceTransportStream& stream) {
      EXPECT_OK(stream.read_request());
      EXPECT_OK(stream.write_response(PONG));
    });
    response = service.endpoint().send_request(Ping{}, 0ns);
  }
  ASSERT_OK(response);
  EXPECT_EQ(*response, PONG);
}

TEST_P(ClientTest, RequestSizeIsCheckedOnBothSides) {
  const std::string service_limit = unix_form() ? "ServiceRunner Unix Socket 消息超过 64KB 上限"
                                                : "ServiceRunner TCP 消息超过 64KB 上限";
  // Like the service, answer a refused request with ok=false.
  const auto refusing_service = [](std::string& seen) {
    return [&seen](ServiceTransportStream& stream) {
      auto request = stream.read_request();
      seen = request ? "decoded" : request.error();
      // The client may have hung up already; a failed write is its problem.
      (void)stream.write_response(StatusResponse{false, seen, std::nullopt, 1});
    };
  };

  // 65536 bytes of JSON pass the client, but with the feed the line is too long.
  std::string seen;
  Result<StatusResponse> response = app_lib::fail("not sent");
  {
    ScriptedPeer service = peer(refusing_service(seen));
    response = service.endpoint().send_request(start_core_of_size(65536), WAIT_LIMIT);
  }
  ASSERT_OK(response);
  EXPECT_FALSE(response->ok);
  EXPECT_EQ(response->message, service_limit);

  // One more byte and the client refuses after connecting, sending nothing.
  {
    ScriptedPeer service = peer(refusing_service(seen));
    response = service.endpoint().send_request(start_core_of_size(65537), WAIT_LIMIT);
  }
  ASSERT_FALSE(response.has_value());
  EXPECT_EQ(response.error(), unix_form() ? "ServiceRunner Unix Socket 请求超过 64KB 上限"
                                          : "ServiceRunner TCP 请求超过 64KB 上限");
  if (unix_form()) {
    EXPECT_TRUE(seen.starts_with("请求格式错误: ")) << seen;
  } else {
    EXPECT_EQ(seen, "请求为空");
  }
}

INSTANTIATE_TEST_SUITE_P(BothForms, ClientTest, both_forms(), form_name);

}  // namespace
}  // namespace nimbletrace_test
