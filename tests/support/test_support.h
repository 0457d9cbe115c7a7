#pragma once

// What every test uses: the result macros, temporary directories and files,
// where the built programs are, and helper modes of the test executable. The
// concept headers below come with it.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app_lib/sys/result.h"
#include "tests/support/proc.h"
#include "tests/support/process.h"
#include "tests/support/raw_socket.h"
#include "tests/support/wait.h"

#define ASSERT_OK(expr)                                                                \
  do {                                                                                 \
    const auto& nt_result_ = (expr);                                                   \
    ASSERT_TRUE(nt_result_.has_value()) << #expr << " failed: " << nt_result_.error(); \
  } while (0)

#define EXPECT_OK(expr)                                                                \
  do {                                                                                 \
    const auto& nt_result_ = (expr);                                                   \
    EXPECT_TRUE(nt_result_.has_value()) << #expr << " failed: " << nt_result_.error(); \
  } while (0)

namespace nimbletrace_test {

// Directory of the built executables (nimbletrace-service, the core stub, ...).
std::filesystem::path bin_dir();
// The stand-in core in bin_dir().
std::filesystem::path core_stub_path();

// Absolute path of the running test executable.
std::filesystem::path self_executable();

// This build's directory for temporary files, inside its build tree or
// else short and its own (cmake/test_area.cmake); made on first use.
const std::filesystem::path& temp_root();

// A fresh directory in temp_root(), removed with everything in it on
// destruction. Its path is short enough for a Unix socket a few names below
// it (sun_path holds 104 bytes on macOS).
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Writes `bytes` to `path` (creating or truncating it); fails the test if it cannot.
void write_file(const std::filesystem::path& path, std::string_view bytes);
std::string read_file(const std::filesystem::path& path);

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

// The error text of a result, or "<ok>"; keeps failure expectations one line.
template <class T>
std::string error_of(const app_lib::Result<T>& result) {
  return result ? std::string("<ok>") : result.error();
}

// The unprivileged user that attackers in the security tests run as: nobody
// and nogroup on Debian; nothing on the machine is owned by them.
inline constexpr uid_t ATTACKER_UID = 65534;
inline constexpr gid_t ATTACKER_GID = 65534;
// A second unprivileged user, owner of files the attacker must not reach.
inline constexpr uid_t VICTIM_UID = 65533;
inline constexpr gid_t VICTIM_GID = 65533;

// A group that is in no entry of the user database (so no user's primary
// group and no group with members), for a client installed set-group-ID.
std::optional<gid_t> group_nobody_holds();
// A group that lists a member and is no user's primary group, and that member.
std::optional<std::pair<gid_t, std::string>> group_with_a_member();

// Drops the calling process for good to `uid` and `gid` with no supplementary
// groups but `groups`, group before user; false if any step failed or root
// could be regained.
bool drop_privileges(uid_t uid, gid_t gid, const std::vector<gid_t>& groups = {});

// Helper modes: a test executable started with "--nt-helper NAME ARGS..." runs
// the helper registered under NAME instead of the tests and exits with its
// return value. This gives tests a second process with a known executable.
using HelperMain = std::function<int(int argc, char** argv)>;
bool register_helper(const std::string& name, HelperMain main);

}  // namespace nimbletrace_test

// Registers a helper at static-initialisation time:
//   NIMBLETRACE_TEST_HELPER(connect_and_ping) { ...; return 0; }
#define NIMBLETRACE_TEST_HELPER(name)                               \
  static int nt_helper_##name(int argc, char** argv);               \
  [[maybe_unused]] static const bool nt_helper_registered_##name =  \
      ::nimbletrace_test::register_helper(#name, nt_helper_##name); \
  static int nt_helper_##name([[maybe_unused]] int argc, [[maybe_unused]] char** argv)
