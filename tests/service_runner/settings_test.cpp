#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>

#include "app_lib/service_runner/service_runner.h"
#include "app_lib/sys/fixed_paths.h"
#include "tests/support/test_support.h"

namespace app_lib::service_runner {
namespace {

namespace fs = std::filesystem;
using nimbletrace_test::error_of;
using nimbletrace_test::ScopedEnv;

TEST(SettingsTest, MockModeFollowsTrimmedLowerCasedValue) {
  const std::pair<std::optional<std::string>, bool> cases[] = {
      {" TRUE\n", true},
      {"Yes", true},
      {"MOCK", true},
      {"1", true},
      {"\u3000on\u2029", true},
      {"MOC\u212A", true},
      {"2", false},
      {"enabled", false},
      {"y", false},
      {"t", false},
      {"", false},
      {"mock\xff", false},
      {std::nullopt, false},
  };
  for (const auto& [value, expected] : cases) {
    ScopedEnv env("NIMBLETRACE_SERVICE_MODE", value);
    EXPECT_EQ(ServiceRunner::mock_enabled(), expected) << value.value_or("<unset>");
  }
}

TEST(SettingsTest, EndpointIsTrimmedOrDefault) {
  const std::pair<std::optional<std::string>, std::string> cases[] = {
      {"  10.1.2.3:4000\t\n", "10.1.2.3:4000"}, {"\u3000Host:9\u00a0", "Host:9"},
      {" \t\u3000\n", "127.0.0.1:39217"},       {"127.0.0.1:1\xff", "127.0.0.1:39217"},
      {std::nullopt, "127.0.0.1:39217"},
  };
  for (const auto& [value, expected] : cases) {
    ScopedEnv env("NIMBLETRACE_SERVICE_ENDPOINT", value);
    EXPECT_EQ(ServiceRunner::endpoint_addr(), expected) << value.value_or("<unset>");
  }
}

TEST(SettingsTest, FixedPathsLieUnderTheSandboxRoot) {
  const std::string root(sys::fs_root());
  EXPECT_EQ(ServiceRunner::macos_service_root().native(),
            root + "/Library/Application Support/Nimbletrace/ServiceRunner");
  EXPECT_EQ(ServiceRunner::macos_core_binary_path().native(),
            root + "/Library/PrivilegedHelperTools/nimbletrace-core");
}

TEST(SettingsTest, AuthorizedClientIsReadAndCanonicalized) {
  ASSERT_FALSE(sys::fs_root().empty());
  fs::remove_all(sys::fs_root());
  fs::create_directories(ServiceRunner::macos_service_root());
  const fs::path file = ServiceRunner::macos_authorized_client_file();
  const std::string read_failed = "读取 macOS 服务授权客户端路径失败: ";
  nimbletrace_test::TempDir temp;

  EXPECT_EQ(error_of(ServiceRunner::macos_authorized_client_executable()),
            read_failed + "No such file or directory (os error 2)");

  fs::create_directories(temp / "real" / "bin");
  nimbletrace_test::write_file(temp / "real" / "bin" / "client", "binary");
  fs::create_directory_symlink(temp / "real", temp / "link");
  nimbletrace_test::write_file(file, " " + (temp / "link" / "bin" / "client").native() + "\n");
  EXPECT_EQ(ServiceRunner::macos_authorized_client_executable().value(),
            temp / "real" / "bin" / "client");

  const std::string missing = (temp / "nope").native();
  nimbletrace_test::write_file(file, "\t" + missing + "\r\n");
  EXPECT_EQ(
      error_of(ServiceRunner::macos_authorized_client_executable()),
      "解析 macOS 服务授权客户端路径失败(" + missing + "): No such file or directory (os error 2)");

  nimbletrace_test::write_file(file, " \n");
  EXPECT_EQ(error_of(ServiceRunner::macos_authorized_client_executable()),
            "解析 macOS 服务授权客户端路径失败(): No such file or directory (os error 2)");

  nimbletrace_test::write_file(file, "/tmp/\xff\n");
  EXPECT_EQ(error_of(ServiceRunner::macos_authorized_client_executable()).rfind(read_failed, 0),
            0u);

  // A FIFO in place of the file must not stall the service.
  fs::remove(file);
  ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
  EXPECT_FALSE(ServiceRunner::macos_authorized_client_executable());
}

}  // namespace
}  // namespace app_lib::service_runner
