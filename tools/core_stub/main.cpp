// A stand-in for nimbletrace-core. It reads the configuration the service
// staged, optionally reports what it was started with, and then waits to be
// killed, as the real core would keep running.
//
// Usage: nimbletrace-core-stub -d DIR
// NIMBLETRACE_CORE_STUB_RECORD=FILE: write a report to FILE (atomically):
//   pid=N, arg=... (one per argv entry), fds=0,1,2,..., null_stdio=0|1 per
//   stream, sig_blocked=HEX, sig_ignored=HEX, config_size=N, then a line
//   "config:" followed by the configuration bytes verbatim.
// A configuration holding the line "exit-now" makes the stub exit with 3 at once.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

bool read_whole(const std::string& path, std::string& out) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      return n == 0;
    }
    out.append(buffer, static_cast<std::size_t>(n));
  }
}

bool write_whole(const std::string& path, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return ::close(fd) == 0;
}

// Descriptors open at start-up, without the one used to list them.
std::string open_descriptors() {
  for (const char* dir_path : {"/proc/self/fd", "/dev/fd"}) {
    DIR* dir = ::opendir(dir_path);
    if (dir == nullptr) continue;
    const int own = ::dirfd(dir);
    std::string list;
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      if (std::atoi(entry->d_name) == own) continue;
      if (!list.empty()) list += ',';
      list += entry->d_name;
    }
    ::closedir(dir);
    return list;
  }
  return "?";
}

bool is_null_device(int fd) {
  struct stat seen {};
  struct stat null_device {};
  return ::fstat(fd, &seen) == 0 && ::stat("/dev/null", &null_device) == 0 &&
         S_ISCHR(seen.st_mode) && seen.st_rdev == null_device.st_rdev;
}

// Signals 1 to 64 as a mask in the form /proc/PID/status shows (bit n-1 for
// signal n, 16 hex digits), asked of the C library so it reads the same on
// every system. A signal the system does not have, or that the C library
// keeps for itself, counts as not set.
template <class IsSet>
std::string signal_mask(IsSet&& is_set) {
  unsigned long long mask = 0;
  for (int signal = 1; signal <= 64; ++signal) {
    if (is_set(signal)) mask |= 1ULL << (signal - 1);
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", mask);
  return text;
}

std::string blocked_signals() {
  sigset_t blocked;
  sigemptyset(&blocked);
  if (::sigprocmask(SIG_BLOCK, nullptr, &blocked) != 0) return "?";
  return signal_mask([&](int signal) { return sigismember(&blocked, signal) == 1; });
}

std::string ignored_signals() {
  return signal_mask([](int signal) {
    struct sigaction action {};
    return ::sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN;
  });
}

bool has_line(std::string_view text, std::string_view wanted) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line == wanted) return true;
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  // Taken before anything else opens a descriptor of its own.
  const std::string fds = open_descriptors();
  const bool null_stdio[3] = {is_null_device(0), is_null_device(1), is_null_device(2)};

  if (argc != 3 || std::strcmp(argv[1], "-d") != 0) {
    std::fprintf(stderr, "usage: %s -d DIR\n", argv[0]);
    return 2;
  }
  std::string config;
  const bool config_read = read_whole(std::string(argv[2]) + "/config.yaml", config);

  if (const char* record = std::getenv("NIMBLETRACE_CORE_STUB_RECORD"); record && *record) {
    std::string report = "pid=" + std::to_string(::getpid()) + "\n";
    for (int i = 0; i < argc; ++i) report += std::string("arg=") + argv[i] + "\n";
    report += "fds=" + fds + "\n";
    for (int i = 0; i < 3; ++i) {
      report += "null_stdio=" + std::string(null_stdio[i] ? "1" : "0") + "\n";
    }
    report += "sig_blocked=" + blocked_signals() + "\n";
    report += "sig_ignored=" + ignored_signals() + "\n";
    report += "config_read=" + std::string(config_read ? "1" : "0") + "\n";
    report += "config_size=" + std::to_string(config.size()) + "\n";
    report += "config:\n" + config;
    // Readers poll for the file; rename makes it appear complete or not at all.
    const std::string temporary = std::string(record) + ".tmp." + std::to_string(::getpid());
    if (!write_whole(temporary, report) || ::rename(temporary.c_str(), record) != 0) return 4;
  }

  if (!config_read) return 1;
  if (has_line(config, "exit-now")) return 3;
  for (;;) ::pause();
}
