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

// Whether a directory is already there is decided by stat, never by the
// error mkdir gave. XNU answers mkdir of a name its lookup finds with EEXIST
// (bsd/vfs/vfs_syscalls.c mkdir1at, xnu-6153 to xnu-11417), but a
// directory named "/" with EISDIR before xnu-8792, macOS 11 and 12
// (bsd/vfs/vfs_lookup.c lookup_handle_emptyname). The service no longer
// names "/", so that answer is given to the names it does create, both of
// which stand by the second start: its root, made for the socket at start-up
// and for runtime/ at every start, and runtime/ itself.
TEST_F(XnuReplayTest, StartsTheCoreWhenMkdirOfAnExistingDirectorySaysIsADirectory) {
  const SandboxPaths p = sandbox_paths();
  auto options = ServiceProcess::Options::privileged();
  options.extra_env = xnu_shim_env(shim_dir_.path());
  options.extra_env.push_back("NIMBLETRACE_SHIM_MKDIR_EISDIR=" + p.service_root.string() + ":" +
                              p.runtime_dir.string());
  start_service(options);
  CoreConfig config;
  EXPECT_EQ(exchange(config.start_line()), STARTED);
  EXPECT_EQ(exchange(config.start_line()), KEPT);
  struct stat st {};
  ASSERT_EQ(::stat(p.runtime_dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  // Each name met the replayed answer: the root at start-up and at both
  // starts, runtime/ at the second.
  const std::string root = p.service_root.string() + "\n";
  EXPECT_EQ(read_file(shim_dir_ / "mkdir-eisdir"),
            root + root + root + p.runtime_dir.string() + "\n");
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
