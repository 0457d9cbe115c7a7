#include <cstddef>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "app_lib/service_runner/service_runner.h"
#include "app_lib/sys/file_read.h"
#include "app_lib/sys/fixed_paths.h"
#include "app_lib/sys/message.h"
#include "app_lib/sys/path_text.h"
#include "app_lib/sys/sys_error.h"
#include "app_lib/sys/text.h"

namespace app_lib::service_runner {
namespace {

constexpr std::string_view kDefaultEndpoint = "127.0.0.1:39217";
constexpr std::size_t AUTHORIZED_CLIENT_FILE_LIMIT = 64 * 1024;

// A variable that is unset or not UTF-8 counts as absent.
std::optional<std::string_view> trimmed_env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  const std::string_view text(value);
  if (!sys::validate_utf8(text)) return std::nullopt;
  return sys::trim_white_space(text);
}

// Lower-cases the way full Unicode case mapping would for the words that
// count: the KELVIN SIGN is the one non-ASCII character whose lower case is an
// ASCII letter, so "MOC\u212A" must read as "mock".
std::string mode_lower(std::string_view text) {
  static constexpr std::string_view kKelvin = "\xE2\x84\xAA";
  std::string folded;
  folded.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    if (text.substr(i, kKelvin.size()) == kKelvin) {
      folded += 'k';
      i += kKelvin.size();
    } else {
      folded += text[i++];
    }
  }
  return sys::ascii_lower(folded);
}

}  // namespace

bool ServiceRunner::mock_enabled() {
  const auto value = trimmed_env("NIMBLETRACE_SERVICE_MODE");
  if (!value) return false;
  const std::string mode = mode_lower(*value);
  return mode == "1" || mode == "on" || mode == "yes" || mode == "true" || mode == "mock";
}

std::string ServiceRunner::endpoint_addr() {
  const auto value = trimmed_env("NIMBLETRACE_SERVICE_ENDPOINT");
  if (!value || value->empty()) return std::string(kDefaultEndpoint);
  return std::string(*value);
}

const std::filesystem::path& ServiceRunner::macos_service_root() {
  static const auto* path =
      new std::filesystem::path(sys::application_support_dir() / "Nimbletrace" / "ServiceRunner");
  return *path;
}

const std::filesystem::path& ServiceRunner::macos_core_binary_path() {
  static const auto* path =
      new std::filesystem::path(sys::privileged_helper_tools_dir() / "nimbletrace-core");
  return *path;
}

const std::filesystem::path& ServiceRunner::macos_protected_host_path() {
  static const auto* path =
      new std::filesystem::path(sys::privileged_helper_tools_dir() / "nimbletrace-service");
  return *path;
}

const std::filesystem::path& ServiceRunner::macos_service_socket_path() {
  static const auto* path = new std::filesystem::path(macos_service_root() / "service.sock");
  return *path;
}

const std::filesystem::path& ServiceRunner::macos_authorized_client_file() {
  static const auto* path =
      new std::filesystem::path(macos_service_root() / "authorized-client.path");
  return *path;
}

const std::filesystem::path& ServiceRunner::macos_runtime_dir() {
  static const auto* path = new std::filesystem::path(macos_service_root() / "runtime");
  return *path;
}

sys::FileRereader ServiceRunner::macos_authorized_client_reader() {
  // Read for every connection: without blocking, so a FIFO planted there
  // cannot stall the service, and capped, so a device such as /dev/zero
  // cannot fill its memory.
  return sys::FileRereader(macos_authorized_client_file(),
                           {.size_cap = AUTHORIZED_CLIENT_FILE_LIMIT});
}

Result<std::string> ServiceRunner::macos_authorized_client_name(sys::FileRereader& file) {
  static constexpr std::string_view kReadFailed = "读取 macOS 服务授权客户端路径失败";
  auto bytes = file.read();
  if (!bytes) return fail(sys::with_cause(kReadFailed, bytes.error().text()));
  if (auto valid = sys::validate_utf8(*bytes); !valid) {
    return fail(sys::with_cause(kReadFailed, "file does not hold valid UTF-8: " + valid.error()));
  }
  return std::string(sys::trim_white_space(*bytes));
}

Result<std::filesystem::path> ServiceRunner::macos_authorized_client_resolved(
    std::string_view named) {
  auto canonical = sys::canonicalize(std::filesystem::path(std::string(named)));
  if (!canonical) {
    return fail(sys::with_cause("解析 macOS 服务授权客户端路径失败", named, canonical.error()));
  }
  return canonical;
}

Result<std::filesystem::path> ServiceRunner::macos_authorized_client_executable() {
  auto file = macos_authorized_client_reader();
  auto named = macos_authorized_client_name(file);
  if (!named) return fail(named.error());
  return macos_authorized_client_resolved(*named);
}

}  // namespace app_lib::service_runner
