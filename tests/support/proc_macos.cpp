#include <libproc.h>
#include <pthread.h>
#include <sys/proc.h>
#include <sys/proc_info.h>

#include <filesystem>

#include "tests/support/test_support.h"

// libproc tells the process table. What only /proc tells (the system call a
// thread waits in, accept queues, per-thread file-system ids, status fields)
// answers "unknown" here.
namespace nimbletrace_test {

namespace fs = std::filesystem;

std::vector<pid_t> process_ids() {
  std::vector<pid_t> pids(static_cast<std::size_t>(::proc_listallpids(nullptr, 0)) + 64);
  const int count = ::proc_listallpids(pids.data(), static_cast<int>(pids.size() * sizeof(pid_t)));
  pids.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
  return pids;
}

std::optional<ProcStat> proc_stat(pid_t pid) {
  proc_bsdinfo info{};
  if (::proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &info, sizeof info) != sizeof info) {
    return std::nullopt;
  }
  ProcStat parsed;
  switch (info.pbi_status) {
    case SZOMB:
      parsed.state = 'Z';
      break;
    case SSTOP:
      parsed.state = 'T';
      break;
    case SSLEEP:
      parsed.state = 'S';
      break;
    default:
      parsed.state = 'R';
      break;
  }
  parsed.parent = static_cast<pid_t>(info.pbi_ppid);
  return parsed;
}

fs::path process_executable(pid_t pid) {
  char path[PROC_PIDPATHINFO_MAXSIZE];
  return ::proc_pidpath(pid, path, sizeof path) > 0 ? fs::path(path) : fs::path();
}

std::set<int> open_descriptors(pid_t pid) {
  std::set<int> fds;
  const int size = ::proc_pidinfo(pid, PROC_PIDLISTFDS, 0, nullptr, 0);
  if (size <= 0) return fds;
  std::vector<proc_fdinfo> entries(static_cast<std::size_t>(size) / sizeof(proc_fdinfo));
  const int got = ::proc_pidinfo(pid, PROC_PIDLISTFDS, 0, entries.data(), size);
  for (int i = 0; got > 0 && i < got / static_cast<int>(sizeof(proc_fdinfo)); ++i) {
    fds.insert(entries[static_cast<std::size_t>(i)].proc_fd);
  }
  return fds;
}

bool waiting_in_poll(pid_t) {
  return false;
}

std::optional<int> tcp_accept_queue(const std::string&) {
  return std::nullopt;
}

std::chrono::nanoseconds cpu_time(pid_t) {
  return std::chrono::nanoseconds(0);
}

std::optional<std::string> status_field(pid_t, std::string_view) {
  return std::nullopt;
}

std::string thread_file_credentials(pid_t) {
  return "<unknown on macOS>";
}

pid_t current_tid() {
  std::uint64_t id = 0;
  ::pthread_threadid_np(nullptr, &id);
  return static_cast<pid_t>(id);
}

}  // namespace nimbletrace_test
