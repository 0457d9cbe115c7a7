#include "tests/support/proc.h"

#include <signal.h>

#include <cstdlib>
#include <string>

#include "tests/support/test_support.h"

// What follows from the per-OS readers alone.
namespace nimbletrace_test {

bool process_alive(pid_t pid) {
  const auto stat = proc_stat(pid);
  return stat && stat->state != 'Z' && stat->state != 'X';
}

bool process_collected(pid_t pid) {
  return !proc_stat(pid);
}

int zombie_children(pid_t parent) {
  int zombies = 0;
  for (const pid_t pid : process_ids()) {
    const auto stat = proc_stat(pid);
    if (stat && stat->parent == parent && stat->state == 'Z') ++zombies;
  }
  return zombies;
}

std::vector<pid_t> running_cores() {
  std::vector<pid_t> pids;
  std::error_code ec;
  const std::filesystem::path stub = std::filesystem::canonical(core_stub_path(), ec);
  if (ec) return pids;
  for (const pid_t pid : process_ids()) {
    if (process_executable(pid) == stub && process_alive(pid)) pids.push_back(pid);
  }
  return pids;
}

bool process_zombie(pid_t pid) {
  const auto stat = proc_stat(pid);
  return stat && stat->state == 'Z';
}

std::vector<pid_t> running_cores_of(pid_t parent) {
  std::vector<pid_t> cores = running_cores();
  std::erase_if(cores, [&](pid_t core) {
    const auto stat = proc_stat(core);
    return !stat || stat->parent != parent;
  });
  return cores;
}

void kill_stray_cores() {
  for (const pid_t pid : running_cores()) ::kill(pid, SIGKILL);
  eventually([] { return running_cores().empty(); });
}

long status_kib(pid_t pid, std::string_view key) {
  const auto text = status_field(pid, key);
  return text ? std::strtol(text->c_str(), nullptr, 10) : -1;
}

}  // namespace nimbletrace_test
