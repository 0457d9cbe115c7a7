#include "app_lib/sys/wake_pipe.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>
#include <vector>

#include "tests/support/test_support.h"

namespace app_lib::sys {
namespace {

namespace fs = std::filesystem;

bool readable(const WakePipe& pipe) {
  pollfd pfd{pipe.wait_fd(), POLLIN, 0};
  return ::poll(&pfd, 1, 0) == 1 && (pfd.revents & POLLIN) != 0;
}

// Every descriptor of this process open on the same pipe as `fd`: both ends.
std::vector<int> descriptors_on_pipe_of(int fd) {
  std::error_code ec;
  const fs::path target = fs::read_symlink("/proc/self/fd/" + std::to_string(fd), ec);
  std::vector<int> found;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd", ec)) {
    if (fs::read_symlink(entry.path(), ec) == target && !ec) {
      found.push_back(std::stoi(entry.path().filename().string()));
    }
  }
  return found;
}

TEST(WakePipeTest, SignalWakesUntilDrained) {
  auto pipe = WakePipe::create();
  ASSERT_OK(pipe);
  EXPECT_FALSE(readable(*pipe));
  pipe->signal();
  pipe->signal();
  EXPECT_TRUE(readable(*pipe));
  pipe->drain();
  EXPECT_FALSE(readable(*pipe)) << "one drain consumes every pending wake-up";
  pipe->drain();  // nothing pending: returns at once instead of blocking
  pipe->signal();
  EXPECT_TRUE(readable(*pipe));
}

TEST(WakePipeTest, SignallingAFullPipeNeitherBlocksNorLosesTheWakeUp) {
  auto pipe = WakePipe::create();
  ASSERT_OK(pipe);
  // Far more than a pipe buffer holds; a blocking write end would hang here.
  for (int i = 0; i < (1 << 18); ++i) pipe->signal();
  EXPECT_TRUE(readable(*pipe));
  pipe->drain();
  EXPECT_FALSE(readable(*pipe));
}

TEST(WakePipeTest, BothEndsAreCloseOnExecAndNonBlocking) {
  auto pipe = WakePipe::create();
  ASSERT_OK(pipe);
  const std::vector<int> ends = descriptors_on_pipe_of(pipe->wait_fd());
  ASSERT_EQ(ends.size(), 2u);
  for (int fd : ends) {
    SCOPED_TRACE(fd);
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_NE(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  }
}

}  // namespace
}  // namespace app_lib::sys
