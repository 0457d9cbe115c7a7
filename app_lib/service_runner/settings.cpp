#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "app_lib/service_runner/service_runner.h"
#include "app_lib/sys/fd.h"
#include "app_lib/sys/fixed_paths.h"
#include "app_lib/sys/path_text.h"
#include "app_lib/sys/sys_error.h"
#include "app_lib/sys/text.h"

namespace app_lib::service_runner {
namespace {

constexpr std::string_view kDefaultEndpoint = "127.0.0.1:39217";

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

// The whole file in one fstat-sized read: it is read for every connection.
// O_NONBLOCK keeps a FIFO planted at the path from stalling the service, and
// the cap keeps a device such as /dev/zero from filling memory.
Result<std::string> read_small_file(const std::filesystem::path& path) {
  constexpr std::size_t CAP = 64 * 1024;
  sys::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return fail(sys::last_sys_error_text());
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return fail(sys::last_sys_error_text());
  const bool regular = S_ISREG(st.st_mode);
  const std::size_t expected =
      regular && st.st_size > 0 ? std::min(static_cast<std::size_t>(st.st_size), CAP) : 0;
  std::string bytes(expected + 1, '\0');
  std::size_t used = 0;
  for (;;) {
    const ssize_t n = ::read(fd.get(), bytes.data() + used, bytes.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(sys::last_sys_error_text());
    }
    used += static_cast<std::size_t>(n);
    // A regular file that gave less than was asked for is at its end.
    if (n == 0 || (regular && used < bytes.size())) break;
    if (used == bytes.size()) {
      if (bytes.size() > CAP) return fail(sys::sys_error_text(EFBIG));
      bytes.resize(bytes.size() * 2);
    }
  }
  bytes.resize(used);
  return bytes;
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

std::filesystem::path ServiceRunner::macos_service_root() {
  return sys::application_support_dir() / "Nimbletrace" / "ServiceRunner";
}

std::filesystem::path ServiceRunner::macos_core_binary_path() {
  return sys::privileged_helper_tools_dir() / "nimbletrace-core";
}

Result<std::filesystem::path> ServiceRunner::macos_authorized_client_executable() {
  static constexpr std::string_view kReadFailed = "读取 macOS 服务授权客户端路径失败: ";
  const std::filesystem::path file = macos_service_root() / "authorized-client.path";
  auto bytes = read_small_file(file);
  if (!bytes) return fail(std::string(kReadFailed) + bytes.error());
  if (auto valid = sys::validate_utf8(*bytes); !valid) {
    return fail(std::string(kReadFailed) + "file does not hold valid UTF-8: " + valid.error());
  }
  const std::string_view named = sys::trim_white_space(*bytes);
  auto canonical = sys::canonicalize(std::filesystem::path(std::string(named)));
  if (!canonical) {
    return fail("解析 macOS 服务授权客户端路径失败(" + std::string(named) +
                "): " + canonical.error());
  }
  return canonical;
}

}  // namespace app_lib::service_runner
