#include <dirent.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "tests/support/test_support.h"

namespace nimbletrace_test {

namespace fs = std::filesystem;

namespace {

std::string proc_path(pid_t pid, std::string_view name) {
  return "/proc/" + std::to_string(pid) + "/" + std::string(name);
}

}  // namespace

std::vector<pid_t> process_ids() {
  std::vector<pid_t> pids;
  DIR* dir = ::opendir("/proc");
  if (dir == nullptr) return pids;
  while (const dirent* entry = ::readdir(dir)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (*end == '\0' && pid > 0) pids.push_back(static_cast<pid_t>(pid));
  }
  ::closedir(dir);
  return pids;
}

std::optional<ProcStat> proc_stat(pid_t pid) {
  const std::string text = read_file(proc_path(pid, "stat"));
  // The command name may hold blanks and parentheses; the fields follow the last ')'.
  const auto close = text.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  ProcStat parsed;
  long parent = 0;
  if (std::sscanf(text.c_str() + close + 1, " %c %ld", &parsed.state, &parent) != 2) {
    return std::nullopt;
  }
  parsed.parent = static_cast<pid_t>(parent);
  return parsed;
}

fs::path process_executable(pid_t pid) {
  std::error_code ec;
  return fs::read_symlink(proc_path(pid, "exe"), ec);
}

std::set<int> open_descriptors(pid_t pid) {
  std::set<int> fds;
  std::error_code ec;
  for (auto it = fs::directory_iterator(proc_path(pid, "fd"), ec);
       !ec && it != fs::directory_iterator(); it.increment(ec)) {
    fds.insert(std::atoi(it->path().filename().c_str()));
  }
  return fds;
}

bool waiting_in_poll(pid_t pid) {
  // "running", or the number of the system call the thread is blocked in,
  // followed by its arguments.
  std::ifstream syscall(proc_path(pid, "syscall"));
  long number = -1;
  if (!(syscall >> number)) return false;
#ifdef SYS_poll
  if (number == SYS_poll) return true;
#endif
  return number == SYS_ppoll;
}

std::optional<int> tcp_accept_queue(const std::string& endpoint) {
  const auto colon = endpoint.rfind(':');
  char wanted[8];
  std::snprintf(wanted, sizeof wanted, ":%04X", std::stoi(endpoint.substr(colon + 1)));
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // header
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues;
    fields >> slot >> local >> remote >> state >> queues;
    if (state != "0A" || !local.ends_with(wanted)) continue;
    // "tx_queue:rx_queue"; for a listener rx_queue is the accept backlog.
    return std::stoi(queues.substr(queues.find(':') + 1), nullptr, 16);
  }
  return std::nullopt;
}

bool unix_listening(const fs::path& path, pid_t holder) {
  // The inodes of the holder's sockets, as its fd links name them.
  std::set<std::string> held;
  if (holder > 0) {
    std::error_code ec;
    for (const auto& entry :
         fs::directory_iterator(fs::path("/proc") / std::to_string(holder) / "fd", ec)) {
      const std::string target = fs::read_symlink(entry.path(), ec).string();
      if (!ec && target.starts_with("socket:[") && target.ends_with("]")) {
        held.insert(target.substr(8, target.size() - 9));
      }
    }
  }
  // listen() sets __SO_ACCEPTCON in the flags column (net/unix/af_unix.c,
  // unix_seq_show); a socket merely bound shows 0.
  constexpr unsigned long ACCEPTING = 0x00010000;
  std::ifstream table("/proc/net/unix");
  std::string line;
  std::getline(table, line);  // header
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, references, protocol, flags, type, state, inode;
    if (!(fields >> slot >> references >> protocol >> flags >> type >> state >> inode)) continue;
    // The path is the rest of the line after one blank, blanks and all; an
    // unbound socket has none.
    std::string bound;
    if (fields.get() != ' ' || !std::getline(fields, bound) || bound != path.native()) continue;
    if (holder > 0 && !held.contains(inode)) continue;
    if ((std::stoul(flags, nullptr, 16) & ACCEPTING) != 0) return true;
  }
  return false;
}

std::chrono::nanoseconds cpu_time(pid_t pid) {
  long long total = 0;
  std::error_code ec;
  for (auto it = fs::directory_iterator(proc_path(pid, "task"), ec);
       !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::ifstream schedstat(it->path() / "schedstat");
    long long on_cpu = 0;
    if (schedstat >> on_cpu) total += on_cpu;
  }
  return std::chrono::nanoseconds(total);
}

std::optional<std::string> status_field(pid_t pid, std::string_view key) {
  std::ifstream status(proc_path(pid, "status"));
  const std::string head = std::string(key) + ":";
  for (std::string line; std::getline(status, line);) {
    if (!line.starts_with(head)) continue;
    const auto begin = line.find_first_not_of(" \t", head.size());
    const auto end = line.find_last_not_of(" \t");
    return begin == std::string::npos ? std::string() : line.substr(begin, end - begin + 1);
  }
  return std::nullopt;
}

std::string thread_file_credentials(pid_t tid) {
  const std::string status = read_file("/proc/self/task/" + std::to_string(tid) + "/status");
  std::string lines;
  for (const char* key : {"\nUid:", "\nGid:", "\nGroups:", "\nCapPrm:", "\nCapEff:"}) {
    const auto at = status.find(key);
    if (at == std::string::npos) return "<" + std::string(key + 1) + " missing>";
    lines += status.substr(at + 1, status.find('\n', at + 1) - at);
  }
  return lines;
}

pid_t current_tid() {
  return static_cast<pid_t>(::syscall(SYS_gettid));
}

}  // namespace nimbletrace_test
