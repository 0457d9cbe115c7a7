#include <filesystem>
#include <future>

#include "tests/support/stalling_fs.h"
#include "tests/support/test_support.h"
#include "tests/support/transport_peer.h"

namespace nimbletrace_test {
namespace {

namespace fs = std::filesystem;

// A client may run a program from a file system that stops answering (a
// FUSE mount of its own, a network share gone away). The check of such a
// peer ends in a refusal instead of waiting on that file system, and holding
// up the loop behind it.
TEST(StalledExecutableTest, PeerCheckRefusesWithoutWaitingOnTheClientsFileSystem) {
  TempDir dir;
  const fs::path mount_point = fs::canonical(dir.path()) / "mnt";
  fs::create_directory(mount_point);
  const fs::path self = fs::canonical(self_executable());
  auto served = StallingFs::mount_serving(mount_point, "client", self);
  if (!served) GTEST_SKIP() << "no FUSE here: " << served.error();
  const fs::path client = mount_point / "client";
  PeerServer server(dir.path());
  auto [stream, process] = server.connect_helper(client, "peer_connect_and_hold");
  ASSERT_TRUE(stream && process) << "no connection from " << client;
  ASSERT_EQ(process_executable(process->pid()), client);

  (*served)->stall();
  auto* connection = &*stream;
  auto check =
      std::async(std::launch::async, [&] { return connection->validate_client_executable(self); });
  const bool returned = check.wait_for(WAIT_LIMIT) == std::future_status::ready;
  // Closing the device fails the call that waits, so the check ends either way.
  if (!returned) served->reset();
  const auto result = check.get();
  ASSERT_TRUE(returned) << "the check still waited on the stalled file system";
  EXPECT_EQ(error_of(result),
            "拒绝未授权的 macOS ServiceRunner 客户端(pid=" + std::to_string(process->pid()) +
                ", path=" + client.string() + ")");
}

}  // namespace
}  // namespace nimbletrace_test
