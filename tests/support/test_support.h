#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

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

// Absolute path of the running test executable.
std::filesystem::path self_executable();

// A fresh directory under /tmp, removed with everything in it on destruction.
// Short on purpose: Unix socket paths must fit in about 104 bytes.
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

// Writes `bytes` to `path` (creating or truncating it); aborts the test on failure.
void write_file(const std::filesystem::path& path, std::string_view bytes);
std::string read_file(const std::filesystem::path& path);

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
