#include <string>

#include "app_lib/service_ipc/codec.h"
#include "tests/support/test_support.h"

namespace app_lib::service_ipc {
namespace {

ServiceRunnerCoreLaunchConfig sample_launch() {
  return {
      .config_dir = "/Users/ana/.nimbletrace",
      .config_file = "/Users/ana/.nimbletrace/config.yaml",
      .config_sha256 = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08",
      .controller_host = "127.0.0.1",
      .controller_port = 9090,
  };
}

std::string encoded(const ServiceRunnerRequest& request) {
  std::string out;
  auto result = encode_request(request, out);
  EXPECT_TRUE(result.has_value()) << result.error();
  return out;
}

std::string encoded(const StatusResponse& response) {
  std::string out;
  auto result = encode_response(response, out);
  EXPECT_TRUE(result.has_value()) << result.error();
  return out;
}

TEST(EncodeTest, WritesRequestsCompactInMemberOrder) {
  EXPECT_EQ(encoded(Ping{}), R"({"type":"ping"})");
  EXPECT_EQ(encoded(GetStatus{}), R"({"type":"get_status"})");
  EXPECT_EQ(encoded(StopCore{}), R"({"type":"stop_core"})");
  EXPECT_EQ(encoded(StartCore{sample_launch()}),
            R"({"type":"start_core","launch":{"config_dir":"/Users/ana/.nimbletrace",)"
            R"("config_file":"/Users/ana/.nimbletrace/config.yaml",)"
            R"("config_sha256":"9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08",)"
            R"("controller_host":"127.0.0.1","controller_port":9090}})");
}

TEST(EncodeTest, WritesZeroPortAndEmptyDigest) {
  ServiceRunnerCoreLaunchConfig launch{.config_dir = "d",
                                       .config_file = "f",
                                       .config_sha256 = "",
                                       .controller_host = "h",
                                       .controller_port = 0};
  EXPECT_EQ(encoded(StartCore{launch}),
            R"({"type":"start_core","launch":{"config_dir":"d","config_file":"f",)"
            R"("config_sha256":"","controller_host":"h","controller_port":0}})");
}

TEST(EncodeTest, WritesResponsesWithAllFourMembers) {
  EXPECT_EQ(encoded(StatusResponse{true, "service runner pong", ServiceRunnerStatus::Running, 1}),
            R"({"ok":true,"message":"service runner pong","data":"Running","protocol_version":1})");
  EXPECT_EQ(encoded(StatusResponse{false, "", std::nullopt, 0}),
            R"({"ok":false,"message":"","data":null,"protocol_version":0})");
  EXPECT_EQ(encoded(StatusResponse{true, "x", ServiceRunnerStatus::Unknown, 4294967295U}),
            R"({"ok":true,"message":"x","data":"Unknown","protocol_version":4294967295})");
}

TEST(EncodeTest, EscapesOnlyQuoteBackslashAndControls) {
  struct Case {
    std::string text;
    std::string json;
  };
  const Case cases[] = {
      {"line\nbreak\ttab \"quoted\"", R"("line\nbreak\ttab \"quoted\"")"},
      {"back\\slash and /solidus", R"("back\\slash and /solidus")"},
      {"\b\f\r", R"("\b\f\r")"},
      {std::string("\x00\x01\x1b\x1f", 4), R"("\u0000\u0001\u001b\u001f")"},
      {"\x7f", "\"\x7f\""},
      {"macOS launchd 服务核心启动请求已发送", "\"macOS launchd 服务核心启动请求已发送\""},
      {"\xF0\x9F\x98\x80 U+2028:\xE2\x80\xA8", "\"\xF0\x9F\x98\x80 U+2028:\xE2\x80\xA8\""},
  };
  for (const auto& c : cases) {
    const std::string json = encoded(StatusResponse{true, c.text, std::nullopt, 1});
    EXPECT_EQ(json, R"({"ok":true,"message":)" + c.json + R"(,"data":null,"protocol_version":1})");
    EXPECT_EQ(json.find('\n'), std::string::npos);
  }
}

TEST(EncodeTest, AppendsToCallerBuffer) {
  std::string out = "prefix:";
  ASSERT_OK(encode_request(Ping{}, out));
  EXPECT_EQ(out, R"(prefix:{"type":"ping"})");
}

TEST(EncodeTest, RefusesInvalidTextAndLeavesBufferUnchanged) {
  std::string out = "kept";
  auto bad_message = encode_response(StatusResponse{true, "ok\xFF", std::nullopt, 1}, out);
  ASSERT_FALSE(bad_message.has_value());
  EXPECT_NE(bad_message.error().find("`message`"), std::string::npos) << bad_message.error();
  EXPECT_NE(bad_message.error().find("index 2"), std::string::npos) << bad_message.error();
  EXPECT_EQ(out, "kept");

  ServiceRunnerCoreLaunchConfig launch = sample_launch();
  launch.controller_host = "\xC3";
  auto bad_host = encode_request(StartCore{launch}, out);
  ASSERT_FALSE(bad_host.has_value());
  EXPECT_NE(bad_host.error().find("`controller_host`"), std::string::npos) << bad_host.error();
  EXPECT_EQ(out, "kept");

  auto bad_status =
      encode_response(StatusResponse{true, "", static_cast<ServiceRunnerStatus>(9), 1}, out);
  ASSERT_FALSE(bad_status.has_value());
  EXPECT_EQ(out, "kept");
}

TEST(EncodeTest, NamesStatusesAndRequestTypes) {
  EXPECT_EQ(status_name(ServiceRunnerStatus::Unavailable), "Unavailable");
  EXPECT_EQ(status_name(ServiceRunnerStatus::Stopped), "Stopped");
  EXPECT_EQ(request_type_name(GetStatus{}), "get_status");
  EXPECT_EQ(request_type_name(StartCore{}), "start_core");
}

}  // namespace
}  // namespace app_lib::service_ipc
