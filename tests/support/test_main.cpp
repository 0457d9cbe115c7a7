#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/auxv.h>
#endif

#include <cstdio>
#include <cstring>
#include <map>

#include "app_lib/platform/process_identity.h"
#include "tests/support/test_support.h"

namespace nimbletrace_test {
namespace {

std::map<std::string, HelperMain>& helpers() {
  static auto* registry = new std::map<std::string, HelperMain>();
  return *registry;
}

}  // namespace

bool register_helper(const std::string& name, HelperMain main) {
  helpers()[name] = std::move(main);
  return true;
}

std::filesystem::path bin_dir() {
  return NIMBLETRACE_BIN_DIR;
}

std::filesystem::path core_stub_path() {
  return bin_dir() / "nimbletrace-core-stub";
}

std::filesystem::path self_executable() {
  // macOS reports the path the executable was started by, which may be
  // relative or go through links.
  auto path = app_lib::platform::current_executable_path();
  if (!path) return {};
  std::error_code ec;
  auto canonical = std::filesystem::canonical(*path, ec);
  return ec ? *path : canonical;
}

}  // namespace nimbletrace_test

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--nt-helper") == 0) {
    auto& registry = nimbletrace_test::helpers();
    auto it = registry.find(argv[2]);
    if (it == registry.end()) return 127;
    const int status = it->second(argc - 3, argv + 3);
#if defined(__SANITIZE_ADDRESS__) && defined(__linux__)
    // A helper run from a set-group-ID copy is not dumpable, and the leak
    // check at exit cannot stop its threads (it uses ptrace on them), so it
    // fails the helper instead of checking it. Such a helper skips the check.
    if (::getauxval(AT_SECURE) != 0) {
      std::fflush(nullptr);
      ::_exit(status);
    }
#endif
    return status;
  }
  // Like the service, tests must see EPIPE rather than die on a closed peer.
  ::signal(SIGPIPE, SIG_IGN);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
