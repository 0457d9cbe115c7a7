// nimbletrace-servicectl: sends one request to the service and prints the answer.

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "app_lib/service_ipc/codec.h"
#include "app_lib/service_runner/service_endpoint.h"
#include "app_lib/service_runner/service_runner.h"
#include "app_lib/service_transport/transport.h"
#include "app_lib/sys/file_read.h"
#include "app_lib/sys/message.h"
#include "app_lib/sys/sha256.h"
#include "app_lib/sys/sys_error.h"

namespace {

using app_lib::fail;
using app_lib::Result;
namespace ipc = app_lib::service_ipc;
using app_lib::service_transport::ServiceTransport;

constexpr std::string_view USAGE = R"(usage: nimbletrace-servicectl [options] COMMAND

Sends one request to nimbletrace-service and prints the response line.

commands:
  ping                      ask whether the service answers (and the core state)
  status                    report whether the core runs
  stop                      stop the core
  start --config-dir D --config-file F --controller-host H --controller-port P [--sha256 HEX]
                            start the core on D/F; the digest is computed from F when
                            --sha256 is not given

options:
  --endpoint HOST:PORT      talk TCP to a mock-mode service
  --socket PATH             talk to the Unix socket at PATH
                            (default: what the service would bind, from the same
                            NIMBLETRACE_SERVICE_MODE / NIMBLETRACE_SERVICE_ENDPOINT)
  --timeout SECONDS         limit of each read and write (default 5)
  -v, --verbose             also print the request line, to standard error
  -h, --help                show this text

exit status: 0 when the response says ok, 1 when it does not, 2 on a transport or
usage error (the error text goes to standard error).
)";

struct Options {
  std::optional<ServiceTransport> endpoint;
  std::chrono::nanoseconds timeout = std::chrono::seconds(5);
  std::string command;
  bool verbose = false;
  std::optional<std::string> config_dir, config_file, controller_host, controller_port, sha256;
};

int usage_error(const std::string& message) {
  std::fprintf(stderr, "nimbletrace-servicectl: %s\n(see --help)\n", message.c_str());
  return 2;
}

// The service refuses a larger configuration, so there is nothing to gain
// from digesting one.
Result<std::string> read_config(const std::string& path) {
  auto bytes = app_lib::sys::read_whole_file(
      path, {.size_cap = app_lib::service_runner::SERVICE_CORE_CONFIG_SIZE_LIMIT});
  if (!bytes) return fail(app_lib::sys::with_cause(path, bytes.error().text()));
  return std::move(*bytes);
}

Result<ipc::ServiceRunnerRequest> build_request(const Options& options) {
  if (options.command == "ping") return ipc::ServiceRunnerRequest{ipc::Ping{}};
  if (options.command == "status") return ipc::ServiceRunnerRequest{ipc::GetStatus{}};
  if (options.command == "stop") return ipc::ServiceRunnerRequest{ipc::StopCore{}};
  if (options.command != "start") return fail("unknown command '" + options.command + "'");

  if (!options.config_dir || !options.config_file || !options.controller_host ||
      !options.controller_port) {
    return fail("start needs --config-dir, --config-file, --controller-host and --controller-port");
  }
  ipc::ServiceRunnerCoreLaunchConfig launch;
  // The service resolves paths from its own working directory, not ours:
  // send them absolute so both sides mean the same file.
  std::error_code path_error;
  const auto dir = std::filesystem::absolute(*options.config_dir, path_error);
  if (path_error) return fail("--config-dir: " + path_error.message());
  const auto file = std::filesystem::absolute(*options.config_file, path_error);
  if (path_error) return fail("--config-file: " + path_error.message());
  launch.config_dir = dir.string();
  launch.config_file = file.string();
  launch.controller_host = *options.controller_host;
  const std::string& port_text = *options.controller_port;
  unsigned port = 0;
  auto [end, ec] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
  if (ec != std::errc() || end != port_text.data() + port_text.size() || port > 65535) {
    return fail("--controller-port needs a number from 0 to 65535");
  }
  launch.controller_port = static_cast<std::uint16_t>(port);
  if (options.sha256) {
    launch.config_sha256 = *options.sha256;
  } else {
    auto bytes = read_config(launch.config_file);
    if (!bytes) return fail("cannot read the configuration to digest it: " + bytes.error());
    auto digest = app_lib::sys::sha256_hex(*bytes);
    if (!digest) return fail(digest.error());
    launch.config_sha256 = *digest;
  }
  return ipc::ServiceRunnerRequest{ipc::StartCore{std::move(launch)}};
}

Result<Options> parse(int argc, char** argv) {
  Options options;
  std::vector<std::string_view> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    auto value = [&]() -> Result<std::string> {
      if (i + 1 >= args.size()) return fail(std::string(arg) + " needs a value");
      return std::string(args[++i]);
    };
    auto take = [&](std::optional<std::string>& into) -> Result<void> {
      auto v = value();
      if (!v) return fail(v.error());
      into = std::move(*v);
      return {};
    };
    Result<void> ok;
    if (arg == "--endpoint") {
      auto v = value();
      if (!v) return fail(v.error());
      options.endpoint = ServiceTransport::tcp(*v);
    } else if (arg == "--socket") {
      auto v = value();
      if (!v) return fail(v.error());
      options.endpoint = ServiceTransport::unix_socket(*v);
    } else if (arg == "--timeout") {
      auto v = value();
      if (!v) return fail(v.error());
      char* end = nullptr;
      const double seconds = std::strtod(v->c_str(), &end);
      if (end == v->c_str() || *end != '\0' || !std::isfinite(seconds) || seconds < 0 ||
          seconds > 86400) {
        return fail("--timeout needs a number of seconds from 0 to 86400");
      }
      options.timeout = std::chrono::nanoseconds(static_cast<long long>(seconds * 1e9));
    } else if (arg == "-v" || arg == "--verbose") {
      options.verbose = true;
    } else if (arg == "--config-dir") {
      ok = take(options.config_dir);
    } else if (arg == "--config-file") {
      ok = take(options.config_file);
    } else if (arg == "--controller-host") {
      ok = take(options.controller_host);
    } else if (arg == "--controller-port") {
      ok = take(options.controller_port);
    } else if (arg == "--sha256") {
      ok = take(options.sha256);
    } else if (!arg.empty() && arg[0] == '-') {
      return fail("unknown option " + std::string(arg));
    } else if (options.command.empty()) {
      options.command = std::string(arg);
    } else {
      return fail("unexpected argument " + std::string(arg));
    }
    if (!ok) return fail(ok.error());
  }
  if (options.command.empty()) return fail("no command given");
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fwrite(USAGE.data(), 1, USAGE.size(), stdout);
      return 0;
    }
  }
  auto options = parse(argc, argv);
  if (!options) return usage_error(options.error());
  auto request = build_request(*options);
  if (!request) return usage_error(request.error());

  const ServiceTransport endpoint =
      options->endpoint ? *options->endpoint
                        : app_lib::service_runner::service_endpoint(
                              app_lib::service_runner::ServiceRunner::mock_enabled());
  if (options->verbose) {
    std::string line;
    if (ipc::encode_request(*request, line)) std::fprintf(stderr, "> %s\n", line.c_str());
  }
  auto reply = endpoint.exchange_request(*request, options->timeout);
  if (!reply) {
    std::fprintf(stderr, "%s\n", reply.error().c_str());
    return 2;
  }
  // Byte for byte as received; only a line the service ended without its
  // line feed gets one, so the shell's next prompt starts on a line of its own.
  std::string& line = reply->line;
  if (line.empty() || line.back() != '\n') line += '\n';
  std::fwrite(line.data(), 1, line.size(), stdout);
  return reply->response.ok ? 0 : 1;
}
