#include "tests/integration/integration_support.h"

#include "app_lib/service_ipc/codec.h"
#include "app_lib/sys/sha256.h"
#include "tests/support/test_support.h"

namespace nimbletrace_test {

CoreConfig::CoreConfig(std::string_view contents)
    : config_dir(dir / ".nimbletrace"), config_file(config_dir / "config.yaml") {
  std::filesystem::create_directories(config_dir);
  write_file(config_file, contents);
}

std::string CoreConfig::start_line(std::uint16_t port) const {
  app_lib::service_ipc::ServiceRunnerCoreLaunchConfig launch;
  launch.config_dir = config_dir.string();
  launch.config_file = config_file.string();
  launch.config_sha256 = app_lib::sys::sha256_hex(read_file(config_file)).value_or("");
  launch.controller_host = "127.0.0.1";
  launch.controller_port = port;
  std::string line;
  (void)app_lib::service_ipc::encode_request(app_lib::service_ipc::StartCore{launch}, line);
  return line + "\n";
}

std::string response_line(bool ok, std::string_view message, std::string_view data) {
  return std::string("{\"ok\":") + (ok ? "true" : "false") + ",\"message\":\"" +
         std::string(message) + "\",\"data\":\"" + std::string(data) +
         "\",\"protocol_version\":1}\n";
}

}  // namespace nimbletrace_test
