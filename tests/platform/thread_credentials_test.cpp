#include "app_lib/platform/thread_credentials.h"

#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "tests/support/test_support.h"

namespace nimbletrace_test {
namespace {

namespace platform = app_lib::platform;

// The service acts for a client on a thread that ends with the work, so no
// revert is ever needed and none can fail; that thread holds no capability
// the client lacks, nor any it could raise again. The per-thread switch
// exists so that the signal thread, which stops the core and must never act
// with a client's rights, keeps the service's own; glibc's setgroups would
// have changed every thread.
TEST(ThreadCredentialsTest, PeerWorkRunsOnAThreadOfItsOwnWithThePeersRightsAlone) {
  if (::geteuid() != 0) GTEST_SKIP() << "taking on another user's rights needs root";
  std::atomic<pid_t> other_tid{0};
  std::atomic<bool> release{false};
  std::thread other([&] {
    other_tid = current_tid();
    while (!release) std::this_thread::yield();
  });
  while (other_tid == 0) std::this_thread::yield();
  const std::string caller_before = thread_file_credentials(current_tid());
  const std::string other_before = thread_file_credentials(other_tid);

  std::string during, other_during;
  auto outcome = platform::with_peer_credentials(
      {ATTACKER_UID, ATTACKER_GID, {ATTACKER_GID, 4242}}, [&]() -> app_lib::Result<pid_t> {
        during = thread_file_credentials(current_tid());
        other_during = thread_file_credentials(other_tid);
        return current_tid();
      });
  release = true;
  other.join();
  ASSERT_OK(outcome);
  ASSERT_OK(*outcome);
  EXPECT_NE(**outcome, current_tid());
  // Real, effective and saved ids stay root; only the file-system ones move.
  EXPECT_NE(during.find("Uid:\t0\t0\t0\t" + std::to_string(ATTACKER_UID) + "\n"), std::string::npos)
      << during;
  EXPECT_NE(during.find("Gid:\t0\t0\t0\t" + std::to_string(ATTACKER_GID) + "\n"), std::string::npos)
      << during;
  // The kernel keeps groups sorted.
  EXPECT_NE(during.find("Groups:\t4242 " + std::to_string(ATTACKER_GID) + " \n"), std::string::npos)
      << during;
  EXPECT_NE(during.find("CapEff:\t0000000000000000\n"), std::string::npos) << during;
  EXPECT_NE(during.find("CapPrm:\t0000000000000000\n"), std::string::npos) << during;
  EXPECT_EQ(other_during, other_before);
  EXPECT_EQ(thread_file_credentials(current_tid()), caller_before);
}

}  // namespace
}  // namespace nimbletrace_test
