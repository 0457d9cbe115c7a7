#pragma once

#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "app_lib/service_runner/core_child.h"
#include "tests/support/test_support.h"

namespace app_lib::service_runner {

// Gives each test an empty, healthy slot although the slot lives as long as
// the process.
class ServiceCoreChildSlotTestPeer {
 public:
  static void reset(ServiceCoreChildSlot& slot) {
    std::lock_guard<std::mutex> guard(slot.mutex_);
    slot.broken_ = false;
    if (slot.record_) {
      (void)slot.record_->child.kill();
      (void)slot.record_->child.wait();
      slot.record_.reset();
    }
  }
};

}  // namespace app_lib::service_runner

namespace nimbletrace_test {

// Sets (or, given nullopt, unsets) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = ::getenv(name)) old_ = old;
    value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
  }
  ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// Polls until `done` holds; false after ten seconds, so a hang fails the test.
template <class Predicate>
bool eventually(Predicate done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// The state letter of /proc/<pid>/stat ('Z': zombie); nullopt once collected.
inline std::optional<char> process_state(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line) || line.rfind(')') + 2 >= line.size()) return std::nullopt;
  return line[line.rfind(')') + 2];
}
inline bool collected(pid_t pid) {
  return !process_state(pid);
}
inline bool running(pid_t pid) {
  return process_state(pid).value_or('Z') != 'Z';
}

// The report of the stand-in core: key=value lines, then "config:" and the
// configuration bytes. Repeated keys are joined with spaces.
inline std::map<std::string, std::string> await_stub_record(const std::filesystem::path& path) {
  std::map<std::string, std::string> fields;
  if (!eventually([&] { return std::filesystem::exists(path); })) return fields;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line) && line != "config:") {
    const auto equals = line.find('=');
    std::string& value = fields[line.substr(0, equals)];
    value += (value.empty() ? "" : " ") + line.substr(equals + 1);
  }
  fields["config"].assign(std::istreambuf_iterator<char>(in), {});
  return fields;
}

// The error text of a result, or "<ok>"; keeps failure expectations one line.
template <class T>
std::string error_of(const app_lib::Result<T>& result) {
  return result ? std::string("<ok>") : result.error();
}

inline std::filesystem::path core_stub_path() {
  return bin_dir() / "nimbletrace-core-stub";
}

}  // namespace nimbletrace_test
