// Benchmarks of the real nimbletrace-service binary on loopback, each beside
// the floor it is compared with: a minimal connect-per-request line server
// (baseline), a bare posix_spawn + waitpid of the stand-in core, and the crypto
// library's raw SHA-256 speed. Prints one table and writes CSV and JSON.
//
//   service_bench [--quick] [--out DIR] [--only TEXT]
// --only runs just the figures whose name contains TEXT ("idle": the idle
// costs of both modes and the latency of a ping reaching an idle service).
//   service_bench --baseline-server unix PATH | tcp PORT     (internal)

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app_lib/service_runner/service_runner.h"
#include "app_lib/sys/fixed_paths.h"
#include "app_lib/sys/sha256.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using app_lib::service_runner::ServiceRunner;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void sleep_ms(int ms) {
  timespec t{ms / 1000, (ms % 1000) * 1'000'000L};
  while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

[[noreturn]] void die(const std::string& message) {
  std::fprintf(stderr, "service_bench: %s\n", message.c_str());
  std::exit(1);
}

// ---------------------------------------------------------------- endpoints

struct Endpoint {
  bool unix_socket = true;
  std::string path;  // unix
  int port = 0;      // tcp
};

int connect_to(const Endpoint& e) {
  if (e.unix_socket) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, e.path.c_str(), sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(e.port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// One exchange: connect, write the line, read until the server closes.
// Returns the answer ("" on failure).
std::string exchange(const Endpoint& e, const std::string& line) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    const int fd = connect_to(e);
    if (fd < 0) {
      // A full listen backlog under load: wait a moment and retry.
      if (errno == EAGAIN || errno == ECONNREFUSED || errno == EADDRNOTAVAIL) {
        sleep_ms(1);
        continue;
      }
      return "";
    }
    if (::send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
      ::close(fd);
      return "";
    }
    std::string answer;
    char buffer[8192];
    while (true) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n > 0) {
        answer.append(buffer, static_cast<std::size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      break;
    }
    ::close(fd);
    return answer;
  }
  return "";
}

// ------------------------------------------------------------ the baseline

// The practical floor of one connection per exchange: non-blocking listener
// + poll, accept, read one line, write one line, close. No JSON, no checks.
[[noreturn]] void run_baseline_server(const std::string& kind, const std::string& where) {
  int listener = -1;
  if (kind == "unix") {
    ::unlink(where.c_str());
    listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, where.c_str(), sizeof addr.sun_path - 1);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) die("bind");
  } else {
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(std::stoi(where)));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) die("bind");
  }
  if (::listen(listener, SOMAXCONN) != 0) die("listen");
  static const std::string reply =
      "{\"ok\":true,\"message\":\"service runner "
      "pong\",\"data\":\"Stopped\",\"protocol_version\":1}\n";
  while (true) {
    pollfd pfd{listener, POLLIN, 0};
    ::poll(&pfd, 1, 120);
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    char buffer[8192];
    std::size_t total = 0;
    while (total < 65537) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n <= 0) break;
      total += static_cast<std::size_t>(n);
      if (std::memchr(buffer, '\n', static_cast<std::size_t>(n)) != nullptr) break;
    }
    ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
    ::close(fd);
  }
}

// ---------------------------------------------------------------- processes

struct Process {
  pid_t pid = -1;
  ~Process() { stop(); }
  void stop() {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      int status = 0;
      ::waitpid(pid, &status, 0);
      pid = -1;
    }
  }
};

pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& extra_env) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "NIMBLETRACE_SERVICE_", 20) != 0) env.emplace_back(*e);
  }
  env.insert(env.end(), extra_env.begin(), extra_env.end());
  std::vector<char*> argv, envp;
  for (auto& a : const_cast<std::vector<std::string>&>(args)) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (::posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
    die("cannot spawn " + args[0]);
  }
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

void wait_until_serving(const Endpoint& e, const std::string& line) {
  for (int i = 0; i < 2000; ++i) {
    if (!exchange(e, line).empty()) return;
    sleep_ms(5);
  }
  die("endpoint never answered");
}

int free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

// ------------------------------------------------------------- the sandbox

struct Sandbox {
  fs::path bin_dir;
  fs::path tools, service_root, socket, core, home;

  explicit Sandbox(const fs::path& self) {
    bin_dir = self.parent_path();
    const std::string root(app_lib::sys::fs_root());
    if (root.empty()) die("the bench needs a build with a sandbox root (preset bench)");
    fs::remove_all(root);
    tools = app_lib::sys::privileged_helper_tools_dir();
    service_root = ServiceRunner::macos_service_root();
    socket = ServiceRunner::macos_service_socket_path();
    core = ServiceRunner::macos_core_binary_path();
    fs::create_directories(tools);
    fs::create_directories(service_root);
    fs::create_symlink(bin_dir / "nimbletrace-service", ServiceRunner::macos_protected_host_path());
    fs::copy_file(bin_dir / "nimbletrace-core-stub", core);
    std::ofstream(ServiceRunner::macos_authorized_client_file())
        << fs::canonical(self).string() << "\n";
    home = fs::path(root) / "home" / ".nimbletrace";
    fs::create_directories(home);
  }
};

// ----------------------------------------------------------------- figures

struct Row {
  std::string figure;
  std::string unit;
  double min = 0, median = 0, max = 0;
  std::string versus;  // what it is compared with, and the ratio or limit
  std::string target;
  bool pass = true;
};

struct Stats {
  double min, median, max;
};

Stats stats_of(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v.front(), v[v.size() / 2], v.back()};
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  const std::size_t index =
      std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())));
  return v[index];
}

std::string fmt(double value, int decimals = 1) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
  return buffer;
}

// Exchanges per second with `clients` concurrent clients, each doing `count`.
double throughput(const Endpoint& e, const std::string& line, int clients, int count) {
  std::atomic<int> failures{0};
  const auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&] {
      for (int i = 0; i < count; ++i) {
        if (exchange(e, line).empty()) ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  const double elapsed = seconds_since(start);
  if (failures > 0) std::fprintf(stderr, "  (%d failed exchanges)\n", failures.load());
  return clients * count / elapsed;
}

std::string start_line(const fs::path& dir, const std::string& config, int port) {
  const std::string digest = app_lib::sys::sha256_hex(config).value();
  return "{\"type\":\"start_core\",\"launch\":{\"config_dir\":\"" + dir.string() +
         "\",\"config_file\":\"" + (dir / "config.yaml").string() + "\",\"config_sha256\":\"" +
         digest +
         "\",\"controller_host\":\"127.0.0.1\",\"controller_port\":" + std::to_string(port) +
         "}}\n";
}

struct ProcessUsage {
  double cpu_seconds = 0;
  long switches = 0;
};

ProcessUsage usage_of(pid_t pid) {
  ProcessUsage usage;
  const fs::path tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : fs::directory_iterator(tasks)) {
    std::ifstream schedstat(task.path() / "schedstat");
    double run_ns = 0;
    schedstat >> run_ns;
    usage.cpu_seconds += run_ns / 1e9;
    std::ifstream status(task.path() / "status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.starts_with("voluntary_ctxt_switches:") ||
          line.starts_with("nonvoluntary_ctxt_switches:")) {
        usage.switches += std::stol(line.substr(line.find(':') + 1));
      }
    }
  }
  return usage;
}

long rss_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
  }
  return -1;
}

void write_config(const fs::path& dir, const std::string& bytes) {
  std::ofstream(dir / "config.yaml", std::ios::binary | std::ios::trunc) << bytes;
}

std::string config_of_size(std::size_t size) {
  std::string bytes;
  bytes.reserve(size);
  std::mt19937 random(42);
  while (bytes.size() < size) bytes += "key" + std::to_string(random() % 100000) + ": value\n";
  bytes.resize(size);
  return bytes;
}

// Prints the table and writes it as CSV and JSON; 3 when a target is missed.
int report(const std::vector<Row>& rows, const fs::path& out_dir) {
  std::printf("\n%-55s %10s %10s %10s %-12s %-10s %s\n", "figure", "min", "median", "max", "unit",
              "target", "compared with");
  bool all_pass = true;
  std::ostringstream csv, json;
  csv << "figure,unit,min,median,max,target,pass,compared_with\n";
  json << "[\n";
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& r = rows[i];
    all_pass = all_pass && r.pass;
    std::printf("%-55s %10s %10s %10s %-12s %-10s %s%s\n", r.figure.c_str(), fmt(r.min).c_str(),
                fmt(r.median).c_str(), fmt(r.max).c_str(), r.unit.c_str(), r.target.c_str(),
                r.versus.c_str(), r.pass ? "" : "  <-- MISSED");
    csv << '"' << r.figure << "\"," << r.unit << ',' << r.min << ',' << r.median << ',' << r.max
        << ",\"" << r.target << "\"," << (r.pass ? "yes" : "no") << ",\"" << r.versus << "\"\n";
    json << "  {\"figure\":\"" << r.figure << "\",\"unit\":\"" << r.unit << "\",\"min\":" << r.min
         << ",\"median\":" << r.median << ",\"max\":" << r.max << ",\"target\":\"" << r.target
         << "\",\"pass\":" << (r.pass ? "true" : "false") << ",\"compared_with\":\"" << r.versus
         << "\"}" << (i + 1 < rows.size() ? "," : "") << "\n";
  }
  json << "]\n";
  fs::create_directories(out_dir);
  std::ofstream(out_dir / "results.csv") << csv.str();
  std::ofstream(out_dir / "results.json") << json.str();
  std::printf("\nwritten: %s, %s\n", (out_dir / "results.csv").c_str(),
              (out_dir / "results.json").c_str());
  return all_pass ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--baseline-server") {
    run_baseline_server(argv[2], argv[3]);
  }
  ::signal(SIGPIPE, SIG_IGN);
  bool quick = false;
  std::string only;  // run only the figures whose name contains this
  fs::path out_dir = "build/bench";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick") {
      quick = true;
    } else if (arg == "--out" && i + 1 < argc) {
      out_dir = argv[++i];
    } else if (arg == "--only" && i + 1 < argc) {
      only = argv[++i];
    } else {
      die("usage: service_bench [--quick] [--out DIR] [--only TEXT]");
    }
  }
  const fs::path self = fs::canonical("/proc/self/exe");
  Sandbox sandbox(self);
  const int runs = quick ? 3 : 7;
  const int per_run = quick ? 2000 : 5000;
  const std::string ping = "{\"type\":\"ping\"}\n";
  const std::string service = ServiceRunner::macos_protected_host_path().string();
  std::vector<Row> rows;
  auto wanted = [&](const std::string& figure) { return figure.find(only) != std::string::npos; };

  // Each exchange figure runs baseline and service alternately, `runs` times.
  auto compare = [&](const std::string& figure, bool unix_socket, int clients, double target) {
    if (!wanted(figure)) return;
    std::vector<double> base_runs, service_runs, base_cpu, service_cpu;
    for (int run = 0; run < runs; ++run) {
      {
        Process baseline;
        Endpoint e{unix_socket, (sandbox.service_root / "baseline.sock").string(), free_port()};
        baseline.pid = spawn({self.string(), "--baseline-server", unix_socket ? "unix" : "tcp",
                              unix_socket ? e.path : std::to_string(e.port)},
                             {});
        wait_until_serving(e, ping);
        const ProcessUsage before = usage_of(baseline.pid);
        base_runs.push_back(throughput(e, ping, clients, per_run / clients));
        base_cpu.push_back((usage_of(baseline.pid).cpu_seconds - before.cpu_seconds) * 1e6 /
                           (per_run / clients * clients));
      }
      {
        Process svc;
        Endpoint e{unix_socket, sandbox.socket.string(), free_port()};
        std::vector<std::string> env;
        if (!unix_socket) {
          env = {"NIMBLETRACE_SERVICE_MODE=mock",
                 "NIMBLETRACE_SERVICE_ENDPOINT=127.0.0.1:" + std::to_string(e.port)};
        }
        svc.pid = spawn({service}, env);
        wait_until_serving(e, ping);
        const ProcessUsage before = usage_of(svc.pid);
        service_runs.push_back(throughput(e, ping, clients, per_run / clients));
        service_cpu.push_back((usage_of(svc.pid).cpu_seconds - before.cpu_seconds) * 1e6 /
                              (per_run / clients * clients));
      }
    }
    const Stats base = stats_of(base_runs);
    const Stats s = stats_of(service_runs);
    const double ratio = s.median / base.median;
    rows.push_back({figure, "exchanges/s", s.min, s.median, s.max,
                    "baseline " + fmt(base.median, 0) + "/s; ratio " + fmt(ratio, 2) +
                        "; server CPU per exchange " + fmt(stats_of(service_cpu).median, 1) +
                        " us vs baseline " + fmt(stats_of(base_cpu).median, 1) + " us",
                    ">= " + fmt(target, 2) + "x", ratio >= target});
    std::fprintf(stderr, "%s: %.0f/s vs baseline %.0f/s (%.2fx)\n", figure.c_str(), s.median,
                 base.median, ratio);
  };

  compare("privileged (unix, peer verified), 1 client, ping", true, 1, 0.5);
  compare("mock (tcp), 1 client, ping", false, 1, 0.8);
  compare("privileged (unix), 8 clients, ping", true, 8, 0.40);
  compare("mock (tcp), 8 clients, ping", false, 8, 0.8);

  Process svc;
  const Endpoint unix_endpoint{true, sandbox.socket.string(), 0};
  const bool start_figures = wanted("start_core");
  if (wanted("idle ping latency") || start_figures) {
    svc.pid = spawn({service}, {});
    wait_until_serving(unix_endpoint, ping);
  }

  // Latency of a ping that reaches an idle service.
  if (wanted("idle ping latency")) {
    std::vector<double> latencies_ms;
    std::mt19937 random(7);
    std::uniform_int_distribution<int> pause(50, 300);
    const int samples = quick ? 25 : 60;
    for (int i = 0; i < samples; ++i) {
      sleep_ms(pause(random));
      const auto start = Clock::now();
      if (exchange(unix_endpoint, ping).empty()) die("idle ping failed");
      latencies_ms.push_back(seconds_since(start) * 1e3);
    }
    const double p50 = percentile(latencies_ms, 0.5);
    const double p99 = percentile(latencies_ms, 0.99);
    const Stats s = stats_of(latencies_ms);
    rows.push_back({"idle ping latency p50", "ms", s.min, p50, s.max, "", "< 1 ms", p50 < 1.0});
    rows.push_back({"idle ping latency p99", "ms", s.min, p99, s.max, "", "< 5 ms", p99 < 5.0});
  }

  if (start_figures) {
    // Floors for start_core: spawn of the stand-in core + waitpid, raw SHA-256.
    const std::string config_64k = config_of_size(64 * 1024);
    const fs::path floor_dir = sandbox.home.parent_path() / "floor";
    fs::create_directories(floor_dir);
    write_config(floor_dir, "exit-now\n");
    std::vector<double> spawn_us;
    for (int i = 0; i < 50; ++i) {
      const auto start = Clock::now();
      const pid_t pid = spawn({sandbox.core.string(), "-d", floor_dir.string()}, {});
      int status = 0;
      ::waitpid(pid, &status, 0);
      spawn_us.push_back(seconds_since(start) * 1e6);
    }
    const double spawn_floor_us = stats_of(spawn_us).median;
    auto sha_time = [](const std::string& bytes, int repeat) {
      std::vector<double> v;
      for (int i = 0; i < repeat; ++i) {
        const auto start = Clock::now();
        (void)app_lib::sys::sha256_hex(bytes);
        v.push_back(seconds_since(start));
      }
      return stats_of(v).median;
    };
    const double sha_64k_us = sha_time(config_64k, 50) * 1e6;

    // start_core that spawns a new core each time (alternating ports).
    {
      write_config(sandbox.home, config_64k);
      std::vector<double> v;
      for (int i = 0; i < 40; ++i) {
        const std::string line = start_line(sandbox.home, config_64k, 9000 + (i % 2));
        const auto start = Clock::now();
        const std::string answer = exchange(unix_endpoint, line);
        v.push_back(seconds_since(start) * 1e6);
        if (answer.find("\"ok\":true") == std::string::npos) die("start_core failed: " + answer);
      }
      const Stats s = stats_of(v);
      const double floor = spawn_floor_us + sha_64k_us;
      rows.push_back({"start_core spawning a new core, 64 KiB", "us", s.min, s.median, s.max,
                      "floor " + fmt(floor, 0) + " us (spawn " + fmt(spawn_floor_us, 0) +
                          " + sha " + fmt(sha_64k_us, 0) + "); ratio " + fmt(s.median / floor, 2),
                      "< 1.5x", s.median < 1.5 * floor});
    }

    // start_core for the same endpoint: the core is kept.
    {
      const std::string config_4k = config_of_size(4 * 1024);
      write_config(sandbox.home, config_4k);
      const std::string line = start_line(sandbox.home, config_4k, 9100);
      exchange(unix_endpoint, line);
      std::vector<double> v;
      for (int i = 0; i < 200; ++i) {
        const auto start = Clock::now();
        const std::string answer = exchange(unix_endpoint, line);
        v.push_back(seconds_since(start) * 1e6);
        if (answer.find("已在运行") == std::string::npos) die("core not kept: " + answer);
      }
      const Stats s = stats_of(v);
      rows.push_back({"start_core, same endpoint (core kept), 4 KiB", "us", s.min, s.median, s.max,
                      "", "< 300 us", s.median < 300});
    }

    // Digest throughput of a 16 MiB configuration, end to end.
    {
      const std::string config_16m = config_of_size(16 * 1024 * 1024);
      write_config(sandbox.home, config_16m);
      const std::string line = start_line(sandbox.home, config_16m, 9100);
      const double raw = config_16m.size() / sha_time(config_16m, 5) / 1e6;
      std::vector<double> v;
      for (int i = 0; i < (quick ? 3 : 7); ++i) {
        const auto start = Clock::now();
        const std::string answer = exchange(unix_endpoint, line);
        v.push_back(config_16m.size() / seconds_since(start) / 1e6);
        if (answer.find("\"ok\":true") == std::string::npos) die("16 MiB start failed: " + answer);
      }
      const Stats s = stats_of(v);
      rows.push_back({"start_core 16 MiB: digest throughput", "MB/s", s.min, s.median, s.max,
                      "raw SHA-256 " + fmt(raw, 0) + " MB/s; ratio " + fmt(s.median / raw, 2),
                      ">= 0.8x", s.median >= 0.8 * raw});
    }
    exchange(unix_endpoint, "{\"type\":\"stop_core\"}\n");
  }
  svc.stop();

  // Idle cost of a fresh service in each mode, both measured over the same
  // seconds, and the memory of the privileged one. Every context switch of
  // any of its threads counts as a wake-up.
  const bool memory_figures = wanted("resident memory");
  if (wanted("idle cost") || memory_figures) {
    Process privileged, mock;
    const Endpoint tcp_endpoint{false, "", free_port()};
    privileged.pid = spawn({service}, {});
    mock.pid = spawn(
        {service}, {"NIMBLETRACE_SERVICE_MODE=mock",
                    "NIMBLETRACE_SERVICE_ENDPOINT=127.0.0.1:" + std::to_string(tcp_endpoint.port)});
    wait_until_serving(unix_endpoint, ping);
    wait_until_serving(tcp_endpoint, ping);
    sleep_ms(500);
    const long rss_idle = rss_kib(privileged.pid);
    if (wanted("idle cost")) {
      const ProcessUsage privileged_before = usage_of(privileged.pid);
      const ProcessUsage mock_before = usage_of(mock.pid);
      const int idle_seconds = quick ? 5 : 10;
      sleep_ms(idle_seconds * 1000);
      const auto add_rows = [&](const std::string& mode, const ProcessUsage& before,
                                const ProcessUsage& after) {
        const double cpu_ms = (after.cpu_seconds - before.cpu_seconds) * 1e3 * 10.0 / idle_seconds;
        const double wakeups = static_cast<double>(after.switches - before.switches) / idle_seconds;
        rows.push_back({"idle cost, " + mode + ": CPU time per 10 s", "ms", cpu_ms, cpu_ms, cpu_ms,
                        "", "< 1 ms", cpu_ms < 1.0});
        rows.push_back({"idle cost, " + mode + ": wake-ups", "per s", wakeups, wakeups, wakeups,
                        std::to_string(after.switches - before.switches) + " context switches in " +
                            std::to_string(idle_seconds) + " s",
                        "0", after.switches == before.switches});
      };
      add_rows("privileged (unix)", privileged_before, usage_of(privileged.pid));
      add_rows("mock (tcp)", mock_before, usage_of(mock.pid));
    }
    mock.stop();

    if (memory_figures) {
      const int exchanges = quick ? 20000 : 100000;
      std::vector<std::thread> threads;
      for (int c = 0; c < 4; ++c) {
        threads.emplace_back([&] {
          for (int i = 0; i < exchanges / 4; ++i) exchange(unix_endpoint, ping);
        });
      }
      for (auto& t : threads) t.join();
      const long rss_after = rss_kib(privileged.pid);
      rows.push_back({"resident memory idle", "KiB", static_cast<double>(rss_idle),
                      static_cast<double>(rss_idle), static_cast<double>(rss_idle), "", "< 4096",
                      rss_idle < 4096});
      rows.push_back({"resident memory growth after " + std::to_string(exchanges) + " exchanges",
                      "KiB", static_cast<double>(rss_after - rss_idle),
                      static_cast<double>(rss_after - rss_idle),
                      static_cast<double>(rss_after - rss_idle),
                      "after: " + std::to_string(rss_after), "< 256", rss_after - rss_idle < 256});
    }
  }

  return report(rows, out_dir);
}
