#include <string>
#include <vector>

#include "app_lib/service_ipc/codec.h"
#include "tests/support/test_support.h"

namespace app_lib::service_ipc {
namespace {

using namespace std::string_literals;

// A launch object with every member, for splicing into request texts.
const std::string LAUNCH =
    R"({"config_dir":"/u/.nimbletrace","config_file":"/u/.nimbletrace/config.yaml",)"
    R"("config_sha256":"ab","controller_host":"127.0.0.1","controller_port":9090})";

ServiceRunnerCoreLaunchConfig launch_value() {
  return {"/u/.nimbletrace", "/u/.nimbletrace/config.yaml", "ab", "127.0.0.1", 9090};
}

std::string start_core_with(const std::string& launch_members) {
  return R"({"type":"start_core","launch":{)" + launch_members + "}}";
}

const std::string ALL_BUT_PORT =
    R"("config_dir":"d","config_file":"f","config_sha256":"s","controller_host":"h")";

// Well-formed numbers that no double holds.
const std::string DIGITS_401 = "1" + std::string(400, '0');
const std::string HUGE_NUMBERS = "[1e400,-1E+999,0.5e99999," + DIGITS_401 + ",-" + DIGITS_401 + "]";

struct ErrorCase {
  const char* name;
  std::string text;
  std::vector<std::string> mentions;  // substrings the error text must hold
};

void expect_request_errors(const std::vector<ErrorCase>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto decoded = decode_request(c.text);
    ASSERT_FALSE(decoded.has_value()) << "decoded: " << c.text;
    for (const auto& part : c.mentions) {
      EXPECT_NE(decoded.error().find(part), std::string::npos)
          << "error \"" << decoded.error() << "\" lacks \"" << part << "\"";
    }
  }
}

TEST(DecodeRequestTest, ReportsMalformedTextWithPosition) {
  expect_request_errors({
      {"empty", "", {"end of input", "line 1 column 1"}},
      {"unterminated object", R"({"type":"ping")", {"end of input", "line 1 column 15"}},
      {"value then other text",
       R"({"type":"ping"} x)",
       {"trailing characters", "line 1 column 17"}},
      {"two values", R"({"type":"ping"}{"type":"ping"})", {"trailing characters", "column 16"}},
      {"text after NUL", "{\"type\":\"ping\"}\0x"s, {"trailing characters", "column 16"}},
      {"NUL at the end", "{\"type\":\"ping\"}\0"s, {"trailing characters", "column 16"}},
      {"NUL inside", "{\"type\":\0\"ping\"}"s, {"NUL", "column 9"}},
      {"error on second line", "{\"type\":\n  pong}", {"line 2 column 3"}},
      {"comment", R"({"type":"ping"/* c */})", {"line 1 column 15"}},
      {"byte order mark",
       "\xEF\xBB\xBF{\"type\":\"ping\"}",
       {"byte order mark", "line 1 column 1"}},
      {"invalid UTF-8 in string", "{\"type\":\"p\xFFng\"}", {"UTF-8", "line 1"}},
      {"lone surrogate escape", R"({"type":"\ud800"})", {"surrogate", "line 1"}},
      {"leading zero", R"({"type":"ping","x":01})", {"line 1"}},
      {"malformed unknown member", R"({"type":"ping","x":[1,})", {"line 1 column 23"}},
      // Numbers beyond a double are read, so what follows them is checked as usual.
      {"malformed after a huge number", R"({"type":"ping","x":1e400,})", {"line 1 column 26"}},
      {"huge number where a colon belongs",
       R"({"type" 1e400})",
       {"unexpected number", "line 1 column 13"}},
      {"huge number after the value",
       R"({"type":"ping","x":1e400} 1e400)",
       {"trailing characters", "line 1 column 31"}},
      {"fraction without digits after a huge number", R"({"x":1e400,"type":1.})", {"line 1"}},
  });
}

TEST(DecodeRequestTest, ReportsTypeProblemsAsSoonAsTheyAreRead) {
  const std::string variants = "expected one of `ping`, `get_status`, `start_core`, `stop_core`";
  expect_request_errors({
      {"string, not object", R"("ping")", {"invalid type", "string \"ping\""}},
      {"array, not object", "[]", {"invalid type", "array"}},
      {"number, not object", "7", {"invalid type", "integer `7`"}},
      {"no type", "{}", {"missing field `type`"}},
      {"no type but launch", R"({"launch":)" + LAUNCH + "}", {"missing field `type`"}},
      {"type twice", R"({"type":"ping","type":"ping"})", {"duplicate field `type`"}},
      {"type number", R"({"type":1})", {"invalid type", "integer `1`"}},
      {"type null", R"({"type":null})", {"invalid type", "null"}},
      {"type object", R"({"type":{}})", {"invalid type", "object"}},
      {"variant name instead of wire text",
       R"({"type":"Ping"})",
       {"unknown variant `Ping`", variants}},
      {"empty type", R"({"type":""})", {"unknown variant ``", variants}},
      // A bad "type" wins over an earlier bad "launch", which waits for the end.
      {"bad launch then bad type", R"({"launch":5,"type":"Ping"})", {"unknown variant `Ping`"}},
      {"bad launch then second type",
       R"({"type":"start_core","launch":5,"type":"ping"})",
       {"duplicate field `type`"}},
      // ...and a syntax error later in the text wins over a bad "launch".
      {"bad launch then malformed",
       R"({"type":"start_core","launch":{"controller_port":-1},"x":[})",
       {"line 1 column 59"}},
  });
}

TEST(DecodeRequestTest, ReportsLaunchProblemsNamingTheMember) {
  expect_request_errors({
      {"start_core without launch", R"({"type":"start_core","x":1})", {"missing field `launch`"}},
      {"launch twice",
       R"({"type":"start_core","launch":)" + LAUNCH + R"(,"launch":)" + LAUNCH + "}",
       {"duplicate field `launch`"}},
      {"launch twice, first bad",
       R"({"type":"start_core","launch":{},"launch":)" + LAUNCH + "}",
       {"missing field `config_dir`"}},
      {"launch array", R"({"type":"start_core","launch":[]})", {"invalid type", "array"}},
      {"launch string", R"({"type":"start_core","launch":"x"})", {"invalid type", "string \"x\""}},
      {"no config_dir",
       start_core_with(R"("config_file":"f","controller_host":"h","controller_port":1)"),
       {"missing field `config_dir`"}},
      {"no config_file nor port",
       start_core_with(R"("config_dir":"d","controller_host":"h")"),
       {"missing field `config_file`"}},
      {"no controller_host",
       start_core_with(R"("config_dir":"d","config_file":"f","controller_port":1)"),
       {"missing field `controller_host`"}},
      {"no controller_port", start_core_with(ALL_BUT_PORT), {"missing field `controller_port`"}},
      {"member twice",
       start_core_with(ALL_BUT_PORT + R"(,"controller_port":1,"config_dir":"e")"),
       {"duplicate field `config_dir`"}},
      {"first problem in text order",
       start_core_with(R"("config_dir":1,"config_dir":"d")"),
       {"integer `1`"}},
      {"text member number", start_core_with(R"("config_dir":5)"), {"invalid type", "integer `5`"}},
      {"text member object",
       start_core_with(R"("controller_host":{"a":[1]})"),
       {"invalid type", "object"}},
      {"digest null",
       start_core_with(
           R"("config_dir":"d","config_file":"f","controller_host":"h","config_sha256":null)"),
       {"invalid type", "null"}},
  });
}

TEST(DecodeRequestTest, ChecksPortRange) {
  const std::string prefix = ALL_BUT_PORT + R"(,"controller_port":)";
  expect_request_errors({
      {"one above range", start_core_with(prefix + "65536"), {"invalid value", "`65536`", "u16"}},
      {"negative", start_core_with(prefix + "-1"), {"invalid value", "`-1`"}},
      {"beyond 64 bits",
       start_core_with(prefix + "18446744073709551616"),
       {"invalid value", "`18446744073709551616`"}},
      {"fraction", start_core_with(prefix + "1.0"), {"invalid type", "floating point `1.0`"}},
      {"exponent", start_core_with(prefix + "1e2"), {"invalid type", "floating point `1e2`"}},
      {"string", start_core_with(prefix + R"("9090")"), {"invalid type", "string \"9090\""}},
      {"null", start_core_with(prefix + "null"), {"invalid type", "null"}},
      {"boolean", start_core_with(prefix + "false"), {"invalid type", "boolean `false`"}},
      {"beyond a double",
       start_core_with(prefix + "1e400"),
       {"invalid type", "floating point `1e400`", "u16"}},
      {"negative beyond a double",
       start_core_with(prefix + "-1E+999"),
       {"invalid type", "floating point `-1E+999`"}},
      {"401 digits",
       start_core_with(prefix + DIGITS_401),
       {"invalid value", "integer `1000000000", "u16"}},
      {"negative, 401 digits",
       start_core_with(prefix + "-" + DIGITS_401),
       {"invalid value", "integer `-100000000"}},
      {"huge after an earlier bad port",
       start_core_with(prefix + "1.5,\"controller_port\":1e400"),
       {"floating point `1.5`"}},
  });
}

TEST(DecodeRequestTest, QuotesOnlyTheStartOfALongNumber) {
  const std::string first_32 = DIGITS_401.substr(0, 32);
  struct Case {
    const char* name;
    std::string number;
    std::string quoted;
  };
  const Case cases[] = {
      {"401 digits", DIGITS_401, "integer `" + first_32 + "…`"},
      {"300 digits, still a double", DIGITS_401.substr(0, 300), "integer `" + first_32 + "…`"},
      {"long fraction", "0." + std::string(40, '5'),
       "floating point `0." + std::string(30, '5') + "…`"},
      {"32 characters exactly", DIGITS_401.substr(0, 32), "integer `" + first_32 + "`"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string text = start_core_with(ALL_BUT_PORT + R"(,"controller_port":)" + c.number);
    auto decoded = decode_request(text);
    ASSERT_FALSE(decoded.has_value());
    const std::string column = std::to_string(text.find(c.number) + c.number.size());
    const std::string kind = c.quoted.starts_with("integer") ? "invalid value: " : "invalid type: ";
    EXPECT_EQ(decoded.error(), kind + c.quoted + ", expected u16 at line 1 column " + column);
  }
  auto response =
      decode_response(R"({"ok":true,"message":"m","protocol_version":)" + DIGITS_401 + "}");
  ASSERT_FALSE(response.has_value());
  EXPECT_TRUE(response.error().starts_with("invalid value: integer `" + first_32 +
                                           "…`, expected u32 at line 1 column "))
      << response.error();
}

TEST(DecodeRequestTest, PointsAtTheOffendingToken) {
  const std::string text = start_core_with(ALL_BUT_PORT + R"(,"controller_port":70000)");
  auto decoded = decode_request(text);
  ASSERT_FALSE(decoded.has_value());
  // The error names the column of the number's last digit, not the byte after it.
  const std::size_t last_digit_column = text.find("70000") + 5;
  EXPECT_EQ(decoded.error(), "invalid value: integer `70000`, expected u16 at line 1 column " +
                                 std::to_string(last_digit_column));
  auto dup = decode_request("{\"type\":\"ping\",\n\"type\":1}");
  ASSERT_FALSE(dup.has_value());
  EXPECT_EQ(dup.error(), "duplicate field `type` at line 2 column 6");
}

// A text the decoder must accept, and the value it must give for it.
template <class Value>
struct ValidCase {
  const char* name;
  std::string text;
  Value expected;
};

template <class Value, std::size_t N, class Decode>
void expect_decoded(const ValidCase<Value> (&cases)[N], Decode decode) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto decoded = decode(c.text);
    ASSERT_OK(decoded);
    EXPECT_EQ(*decoded, c.expected);
  }
}

TEST(DecodeRequestTest, DecodesValidRequests) {
  using Case = ValidCase<ServiceRunnerRequest>;
  ServiceRunnerCoreLaunchConfig no_digest = launch_value();
  no_digest.config_sha256.clear();
  ServiceRunnerCoreLaunchConfig max_port{"d", "f", "s", "h", 65535};
  const Case cases[] = {
      {"ping", R"({"type":"ping"})", Ping{}},
      {"get_status", R"({"type":"get_status"})", GetStatus{}},
      {"stop_core", R"({"type":"stop_core"})", StopCore{}},
      {"start_core", R"({"type":"start_core","launch":)" + LAUNCH + "}", StartCore{launch_value()}},
      {"surrounding JSON whitespace", " \t\r\n{ \"type\" : \"ping\" }\r\n ", Ping{}},
      {"ping ignores launch and unknown members",
       R"({"type":"ping","launch":3,"other":[1,{"a":null}]})", Ping{}},
      {"stop_core ignores a broken launch",
       R"({"launch":{"controller_port":-1},"type":"stop_core"})", StopCore{}},
      {"ping ignores a second launch", R"({"launch":1,"launch":2,"type":"ping"})", Ping{}},
      {"type after launch", R"({"launch":)" + LAUNCH + R"(,"type":"start_core"})",
       StartCore{launch_value()}},
      {"launch without digest",
       start_core_with(
           R"("config_dir":"/u/.nimbletrace","config_file":"/u/.nimbletrace/config.yaml",)"
           R"("controller_host":"127.0.0.1","controller_port":9090)"),
       StartCore{no_digest}},
      {"launch with extra members",
       start_core_with(ALL_BUT_PORT +
                       R"(,"type":"x","controller_port":65535,"more":{"deep":[[]]})"),
       StartCore{max_port}},
      {"escaped names", R"({"\u0074ype":"p\u0069ng"})", Ping{}},
      {"minus zero port", start_core_with(ALL_BUT_PORT + R"(,"controller_port":-0)"),
       StartCore{{"d", "f", "s", "h", 0}}},
      {"ping with a member beyond a double", R"({"type":"ping","x":1e400})", Ping{}},
      {"ping with huge numbers everywhere",
       R"({"a":)" + HUGE_NUMBERS + R"(,"type":"ping","launch":)" + DIGITS_401 +
           R"(,"b":{"c":-1e400}})",
       Ping{}},
      {"stop_core ignores a huge launch", R"({"type":"stop_core","launch":1e400})", StopCore{}},
      {"launch with huge extra members",
       R"({"x":)" + HUGE_NUMBERS + R"(,"type":"start_core","launch":{)" + ALL_BUT_PORT +
           R"(,"big":)" + DIGITS_401 + R"(,"controller_port":65535,"more":[1e400]}})",
       StartCore{max_port}},
      // Text that looks like a huge number inside a string stays as written.
      {"huge-looking text in strings",
       start_core_with(R"("config_dir":"1e400\"1e400","config_file":"\\",)"
                       R"("config_sha256":"s","x":1e400,"controller_host":"-1e999",)"
                       R"("controller_port":65535)"),
       StartCore{{"1e400\"1e400", "\\", "s", "-1e999", 65535}}},
  };
  expect_decoded(cases, [](const std::string& text) { return decode_request(text); });
}

TEST(DecodeRequestTest, ResolvesEscapesInText) {
  auto decoded = decode_request(start_core_with(
      R"("config_dir":"a\"b\\c\/d\u00e9\ud83d\ude00\n","config_file":"\u670d","controller_host":"h","controller_port":1)"));
  ASSERT_OK(decoded);
  const auto& launch = std::get<StartCore>(*decoded).launch;
  EXPECT_EQ(launch.config_dir, "a\"b\\c/d\xC3\xA9\xF0\x9F\x98\x80\n");
  EXPECT_EQ(launch.config_file, "服");
}

TEST(DecodeResponseTest, DecodesValidResponses) {
  using Case = ValidCase<StatusResponse>;
  const Case cases[] = {
      {"full",
       R"({"ok":true,"message":"service runner pong","data":"Running","protocol_version":1})",
       {true, "service runner pong", ServiceRunnerStatus::Running, 1}},
      {"no version",
       R"({"ok":false,"message":"m","data":"Stopped"})",
       {false, "m", ServiceRunnerStatus::Stopped, 0}},
      {"newer version",
       R"({"protocol_version":2,"message":"m","ok":true,"data":"Ready"})",
       {true, "m", ServiceRunnerStatus::Ready, 2}},
      {"null data",
       R"({"ok":true,"message":"","data":null,"protocol_version":4294967295})",
       {true, "", std::nullopt, 4294967295U}},
      {"no data", R"({"ok":true,"message":"x"})", {true, "x", std::nullopt, 0}},
      {"unknown members",
       R"({"ok":true,"message":"x","data":"Unknown","extra":{"a":[1.5e3]}})",
       {true, "x", ServiceRunnerStatus::Unknown, 0}},
      {"unavailable",
       R"({"ok":false,"message":"x","data":"Unavailable"})",
       {false, "x", ServiceRunnerStatus::Unavailable, 0}},
      {"unknown members beyond a double",
       R"({"x":)" + HUGE_NUMBERS + R"(,"ok":true,"message":"1e400","y":-1e400,"data":"Running"})",
       {true, "1e400", ServiceRunnerStatus::Running, 0}},
  };
  expect_decoded(cases, [](const std::string& text) { return decode_response(text); });
}

TEST(DecodeResponseTest, ReportsProblemsNamingTheMember) {
  const std::string statuses =
      "expected one of `Unknown`, `Unavailable`, `Ready`, `Running`, `Stopped`";
  const ErrorCase cases[] = {
      {"empty", "", {"end of input", "line 1 column 1"}},
      {"not an object", "[true]", {"invalid type", "array"}},
      {"both required missing", R"({"data":null})", {"missing field `ok`"}},
      {"message missing", R"({"ok":true})", {"missing field `message`"}},
      {"ok missing", R"({"message":"m"})", {"missing field `ok`"}},
      {"ok as string", R"({"ok":"true","message":"m"})", {"invalid type", "string \"true\""}},
      {"message as null", R"({"ok":true,"message":null})", {"invalid type", "null"}},
      {"status in lower case",
       R"({"ok":true,"message":"m","data":"running"})",
       {"unknown variant `running`", statuses}},
      {"status as number",
       R"({"ok":true,"message":"m","data":3})",
       {"invalid type", "integer `3`"}},
      {"version too large",
       R"({"ok":true,"message":"m","protocol_version":4294967296})",
       {"invalid value", "`4294967296`", "u32"}},
      {"version negative",
       R"({"ok":true,"message":"m","protocol_version":-1})",
       {"invalid value", "`-1`"}},
      {"version fraction", R"({"ok":true,"message":"m","protocol_version":1.5})", {"invalid type"}},
      {"version beyond a double",
       R"({"ok":true,"message":"m","protocol_version":1e400})",
       {"invalid type", "floating point `1e400`", "u32"}},
      {"version of 401 digits",
       R"({"ok":true,"message":"m","protocol_version":)" + DIGITS_401 + "}",
       {"invalid value", "u32"}},
      {"ok beyond a double", R"({"ok":1e400,"message":"m"})", {"invalid type", "`1e400`"}},
      {"data beyond a double",
       R"({"ok":true,"message":"m","data":-1e400})",
       {"invalid type", "`-1e400`"}},
      {"huge number then a missing member",
       R"({"ok":true,"x":1e400})",
       {"missing field `message`"}},
      {"ok twice", R"({"ok":true,"ok":true,"message":"m"})", {"duplicate field `ok`"}},
      {"data twice",
       R"({"ok":true,"message":"m","data":null,"data":null})",
       {"duplicate field `data`"}},
      {"trailing", R"({"ok":true,"message":"m"} {)", {"trailing characters", "column 27"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto decoded = decode_response(c.text);
    ASSERT_FALSE(decoded.has_value());
    for (const auto& part : c.mentions) {
      EXPECT_NE(decoded.error().find(part), std::string::npos)
          << "error \"" << decoded.error() << "\" lacks \"" << part << "\"";
    }
  }
}

TEST(RoundTripTest, DecodingAnEncodingGivesTheValueBack) {
  const std::string awkward =
      "tab\t nl\n quote\" back\\ nul"s + '\0' + " esc\x1b del\x7f 中文 \xE2\x80\xA8";
  const ServiceRunnerRequest requests[] = {
      Ping{},
      GetStatus{},
      StopCore{},
      StartCore{launch_value()},
      StartCore{{awkward, awkward, "", "::1", 0}},
      StartCore{{"", "", "", "", 65535}},
  };
  for (const auto& request : requests) {
    std::string text;
    ASSERT_OK(encode_request(request, text));
    auto decoded = decode_request(text);
    ASSERT_OK(decoded);
    EXPECT_EQ(*decoded, request) << text;
  }
  const StatusResponse responses[] = {
      {true, "macOS launchd 服务核心启动请求已发送", ServiceRunnerStatus::Running, 1},
      {false, awkward, std::nullopt, 0},
      {true, "", ServiceRunnerStatus::Unavailable, 4294967295U},
  };
  for (const auto& response : responses) {
    std::string text;
    ASSERT_OK(encode_response(response, text));
    auto decoded = decode_response(text);
    ASSERT_OK(decoded);
    EXPECT_EQ(*decoded, response) << text;
  }
}

}  // namespace
}  // namespace app_lib::service_ipc
