// The real service binary with XNU's answers preloaded (tests/support/
// xnu_shim.cpp): what macOS 11 onwards answers where Linux answers otherwise
// must not change what the service does.

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <string>

#include "tests/support/service_harness.h"
#include "tests/support/test_support.h"
#include "tests/support/xnu_shim.h"

namespace nimbletrace_test {
namespace {

namespace fs = std::filesystem;

class XnuReplayTest : public SandboxServiceTest {
 protected:
  void start_with_shim() {
    auto options = ServiceProcess::Options::privileged();
    options.extra_env = xnu_shim_env(shim_dir_.path());
    start_service(options);
  }
  TempDir shim_dir_;
};

// macOS 11 and 12 answer mkdir("/") with EISDIR; creating runtime/ must not
// depend on which error an existing directory gives.
TEST_F(XnuReplayTest, StartsTheCoreWhenMkdirOfTheRootSaysIsADirectory) {
  start_with_shim();
  CoreConfig config;
  EXPECT_EQ(exchange(config.start_line()), STARTED);
  struct stat st {};
  ASSERT_EQ(::stat(sandbox_paths().runtime_dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
}

// macOS's sigwait returns 0 with no signal when its wait was interrupted;
// only SIGTERM or SIGINT may stop the service.
TEST_F(XnuReplayTest, SigwaitReturningWithoutASignalDoesNotStopTheService) {
  start_with_shim();
  ASSERT_TRUE(eventually([&] { return fs::exists(shim_dir_.path() / "sigwait-spurious"); }));
  EXPECT_EQ(exchange(PING_LINE), PONG_STOPPED);
  service_->signal(SIGTERM);
  const auto status = service_->wait_exit();
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
}

}  // namespace
}  // namespace nimbletrace_test
