// Compact JSON encoders of the wire messages, written by hand because every
// byte is fixed: member order, escapes and number forms must match the peer's
// expectations exactly.

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "app_lib/service_ipc/codec.h"
#include "app_lib/sys/text.h"

namespace app_lib::service_ipc {
namespace {

// Appends `value` as a JSON string. Text that is not UTF-8 cannot be written
// as JSON, and no decoded message holds any, so it is refused rather than
// silently altered.
Result<void> append_string(std::string_view member, std::string_view value, std::string& out) {
  if (auto valid = sys::validate_utf8(value); !valid) {
    std::string message = "member `";
    message += member;
    message += "` is not valid UTF-8: ";
    message += valid.error();
    return fail(std::move(message));
  }
  static constexpr char HEX[] = "0123456789abcdef";
  out += '"';
  std::size_t plain_from = 0;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const auto c = static_cast<unsigned char>(value[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(value, plain_from, i - plain_from);
    plain_from = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += "\\u00";
        out += HEX[c >> 4];
        out += HEX[c & 0x0F];
        break;
    }
  }
  out.append(value, plain_from, value.size() - plain_from);
  out += '"';
  return {};
}

void append_unsigned(std::uint64_t value, std::string& out) {
  char digits[20];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

Result<void> append_launch(const ServiceRunnerCoreLaunchConfig& launch, std::string& out) {
  out += "{\"config_dir\":";
  if (auto r = append_string("config_dir", launch.config_dir, out); !r) return r;
  out += ",\"config_file\":";
  if (auto r = append_string("config_file", launch.config_file, out); !r) return r;
  out += ",\"config_sha256\":";
  if (auto r = append_string("config_sha256", launch.config_sha256, out); !r) return r;
  out += ",\"controller_host\":";
  if (auto r = append_string("controller_host", launch.controller_host, out); !r) return r;
  out += ",\"controller_port\":";
  append_unsigned(launch.controller_port, out);
  out += '}';
  return {};
}

Result<void> append_request(const ServiceRunnerRequest& request, std::string& out) {
  const std::string_view type = request_type_name(request);
  if (type.empty()) return fail("request holds no variant");
  out += "{\"type\":\"";
  out += type;
  out += '"';
  if (const auto* start = std::get_if<StartCore>(&request)) {
    out += ",\"launch\":";
    if (auto r = append_launch(start->launch, out); !r) return r;
  }
  out += '}';
  return {};
}

Result<void> append_response(const StatusResponse& response, std::string& out) {
  out += response.ok ? "{\"ok\":true,\"message\":" : "{\"ok\":false,\"message\":";
  if (auto r = append_string("message", response.message, out); !r) return r;
  out += ",\"data\":";
  if (response.data) {
    const std::string_view name = status_name(*response.data);
    if (name.empty()) {
      return fail("member `data` holds status value " +
                  std::to_string(static_cast<unsigned>(*response.data)) + ", which has no name");
    }
    out += '"';
    out += name;
    out += '"';
  } else {
    out += "null";
  }
  out += ",\"protocol_version\":";
  append_unsigned(response.protocol_version, out);
  out += '}';
  return {};
}

// A failed encoding leaves the caller's buffer as it was.
template <class Append, class Message>
Result<void> append_or_restore(Append append, const Message& message, std::string& out) {
  const std::size_t before = out.size();
  auto result = append(message, out);
  if (!result) out.resize(before);
  return result;
}

}  // namespace

Result<void> encode_request(const ServiceRunnerRequest& request, std::string& out) {
  return append_or_restore(append_request, request, out);
}

Result<void> encode_response(const StatusResponse& response, std::string& out) {
  return append_or_restore(append_response, response, out);
}

}  // namespace app_lib::service_ipc
