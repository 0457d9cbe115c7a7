#include <libproc.h>
#include <pthread.h>
#include <sys/proc.h>
#include <sys/proc_info.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
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

namespace {

std::vector<proc_fdinfo> descriptor_entries(pid_t pid) {
  const int size = ::proc_pidinfo(pid, PROC_PIDLISTFDS, 0, nullptr, 0);
  if (size <= 0) return {};
  std::vector<proc_fdinfo> entries(static_cast<std::size_t>(size) / sizeof(proc_fdinfo));
  const int got = ::proc_pidinfo(pid, PROC_PIDLISTFDS, 0, entries.data(), size);
  entries.resize(got > 0 ? static_cast<std::size_t>(got) / sizeof(proc_fdinfo) : 0);
  return entries;
}

}  // namespace

std::set<int> open_descriptors(pid_t pid) {
  std::set<int> fds;
  for (const proc_fdinfo& entry : descriptor_entries(pid)) fds.insert(entry.proc_fd);
  return fds;
}

bool unix_listening(const fs::path& path, pid_t holder) {
  // There is no table of Unix sockets to read, so look through the
  // descriptors of every process. solisten sets SO_ACCEPTCONN in so_options
  // and fill_socketinfo reports them with the bound address (XNU
  // bsd/kern/uipc_socket.c, bsd/kern/socket_info.c).
  const std::vector<pid_t> holders = holder > 0 ? std::vector<pid_t>{holder} : process_ids();
  for (const pid_t pid : holders) {
    for (const proc_fdinfo& entry : descriptor_entries(pid)) {
      if (entry.proc_fdtype != PROX_FDTYPE_SOCKET) continue;
      socket_fdinfo info{};
      if (::proc_pidfdinfo(pid, entry.proc_fd, PROC_PIDFDSOCKETINFO, &info, sizeof info) !=
          static_cast<int>(sizeof info)) {
        continue;
      }
      if (info.psi.soi_kind != SOCKINFO_UN || (info.psi.soi_options & SO_ACCEPTCONN) == 0) {
        continue;
      }
      const char* bound = info.psi.soi_proto.pri_un.unsi_addr.ua_sun.sun_path;
      const std::size_t capacity = sizeof info.psi.soi_proto.pri_un.unsi_addr.ua_sun.sun_path;
      if (std::string_view(bound, ::strnlen(bound, capacity)) == path.native()) return true;
    }
  }
  return false;
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
