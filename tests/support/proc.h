#pragma once

// What the system tells about other processes: state, parent, descriptors,
// memory and CPU use. Linux reads /proc; the macOS file answers what libproc
// can and "unknown" for the rest, since the macOS build is linked, never run.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace nimbletrace_test {

struct ProcStat {
  char state = 0;  // as /proc/PID/stat spells it: 'R', 'S', 'Z' (zombie), ...
  pid_t parent = 0;
};
// nullopt once there is no such process (it has been collected).
std::optional<ProcStat> proc_stat(pid_t pid);
// Every process id on the machine, at one moment.
std::vector<pid_t> process_ids();
// The file the process runs, as the system names it; empty if unknown.
std::filesystem::path process_executable(pid_t pid);

// The process exists and is not a zombie.
bool process_alive(pid_t pid);
// No process with this id exists any more: it exited and was collected.
bool process_collected(pid_t pid);
// The process has exited and waits to be collected by its parent.
bool process_zombie(pid_t pid);
// Children of `parent` that have exited but were never collected.
int zombie_children(pid_t parent);

// Pids of running stand-in cores (by executable), zombies excluded.
std::vector<pid_t> running_cores();
// The same, only children of `parent`.
std::vector<pid_t> running_cores_of(pid_t parent);
// Kills stand-in cores that an earlier test may have left behind.
void kill_stray_cores();

std::set<int> open_descriptors(pid_t pid);

// True while the main thread of `pid` sits in poll: the service's loop has
// nothing to do and waits for a client or a shutdown request.
bool waiting_in_poll(pid_t pid);

// For a loopback TCP listener on `endpoint` ("127.0.0.1:N"): the length of
// its accept queue, 0 once every pending connection has been accepted;
// nullopt while nothing listens there.
std::optional<int> tcp_accept_queue(const std::string& endpoint);

// A socket bound at `path` (spelled as it was bound) listens; with `holder`,
// one of that process's descriptors. The socket file alone tells nothing: a
// killed process leaves its file behind, mode and all, with nobody
// listening, and a listener handed to another process before its file was
// removed still shows the name it was bound to.
bool unix_listening(const std::filesystem::path& path, pid_t holder = 0);

// Time the process has spent on a CPU, all threads together.
std::chrono::nanoseconds cpu_time(pid_t pid);

// The text after "`key`:" in the process's status (Name, SigIgn, VmRSS, ...),
// without the blanks around it.
std::optional<std::string> status_field(pid_t pid, std::string_view key);
// A "kB" figure of the status (VmSize, VmRSS, RssAnon); -1 if it is not there.
long status_kib(pid_t pid, std::string_view key);

// The Uid, Gid, Groups and CapEff lines of one thread of this process, as the
// kernel reports them (real, effective, saved and file-system ids; effective
// capabilities).
std::string thread_file_credentials(pid_t tid);
// The calling thread's id.
pid_t current_tid();

}  // namespace nimbletrace_test
