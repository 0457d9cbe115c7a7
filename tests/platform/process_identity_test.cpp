#include "app_lib/platform/process_identity.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "tests/support/test_support.h"
#include "tests/support/transport_peer.h"

namespace nimbletrace_test {
namespace {

namespace platform = app_lib::platform;
using app_lib::sys::UniqueFd;

constexpr int PEER_PIDFD_OPTION = 77;

struct SocketPair {
  SocketPair() {
    int fds[2] = {-1, -1};
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    a.reset(fds[0]);
    b.reset(fds[1]);
  }
  UniqueFd a, b;
};

bool kernel_has_peer_pidfd() {
  SocketPair pair;
  int pidfd = -1;
  socklen_t length = sizeof pidfd;
  const bool has = ::getsockopt(pair.a.get(), SOL_SOCKET, PEER_PIDFD_OPTION, &pidfd, &length) == 0;
  UniqueFd owned(pidfd);
  return has;
}

UniqueFd pidfd_of(pid_t pid) {
  return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
}

std::optional<std::string> executable_path(const platform::PeerProcess& peer) {
  auto executable = platform::peer_executable(peer);
  if (!executable) return std::nullopt;
  return executable->path;
}

platform::FileIdentity identity_of(const std::filesystem::path& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return platform::FileIdentity::of(st);
}

TEST(ProcessIdentityTest, CurrentExecutablePathIsTheRunningBinary) {
  const auto path = platform::current_executable_path();
  ASSERT_OK(path);
  EXPECT_EQ(*path, self_executable());
}

TEST(ProcessIdentityTest, IdentifiesSocketPeerPinnedWherePossible) {
  SocketPair pair;
  const auto strong = platform::identify_peer(pair.a.get());
  const auto weak = platform::identify_peer(pair.a.get(), platform::PeerPinning::PidOnly);
  ASSERT_TRUE(strong && weak);
  EXPECT_EQ(strong->pid(), ::getpid());
  EXPECT_EQ(weak->pid(), ::getpid());
  EXPECT_LT(weak->pidfd(), 0);
  if (kernel_has_peer_pidfd()) {
    ASSERT_GE(strong->pidfd(), 0);
    EXPECT_TRUE(::fcntl(strong->pidfd(), F_GETFD) & FD_CLOEXEC);
  } else {
    EXPECT_LT(strong->pidfd(), 0);
  }
  for (const auto* peer : {&*strong, &*weak}) {
    const auto executable = platform::peer_executable(*peer);
    ASSERT_TRUE(executable);
    EXPECT_EQ(executable->path, self_executable().string());
    EXPECT_EQ(executable->file, identity_of(self_executable()));
    EXPECT_EQ(peer->credentials().uid, ::getuid());
    EXPECT_EQ(peer->credentials().gid, ::getgid());
    std::vector<gid_t> groups(static_cast<std::size_t>(::getgroups(0, nullptr)));
    groups.resize(
        static_cast<std::size_t>(::getgroups(static_cast<int>(groups.size()), groups.data())));
    EXPECT_EQ(platform::peer_groups(pair.a.get(), peer->credentials()), groups);
  }
}

// A process id seen earlier may by now belong to another process. Here the id
// is always our own, live one, while the pidfd stands for what the peer
// really was.
TEST(ProcessIdentityTest, PidfdRefusesAnIdThatNoLongerNamesThePinnedProcess) {
  auto exited = Process::start({.argv = {"/bin/true"}});
  auto running = Process::start({.argv = {"/bin/sleep", "30"}});
  ASSERT_TRUE(exited && running);
  UniqueFd exited_pidfd = pidfd_of(exited->pid());
  ASSERT_TRUE(exited_pidfd.valid());
  ASSERT_TRUE(exited->wait_exit());

  const std::string self = self_executable().string();
  struct Case {
    const char* name;
    platform::PeerProcess peer;
    std::optional<std::string> expected;
  };
  Case cases[] = {
      {"bare id, trusted as is", {::getpid(), UniqueFd{}}, self},
      {"pinned to this process", {::getpid(), pidfd_of(::getpid())}, self},
      {"pinned to a reaped process", {::getpid(), std::move(exited_pidfd)}, std::nullopt},
      {"pinned to another live process", {::getpid(), pidfd_of(running->pid())}, std::nullopt},
      {"gone when identified", platform::PeerProcess::gone(::getpid()), std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(executable_path(c.peer), c.expected);
  }
}

TEST(ProcessIdentityTest, PeerThatExitedIsRefusedWhenPinnedAndUnlessItsIdWasReusedWhenNot) {
  TempDir dir;
  PeerServer server(dir.path());
  auto [connection, child] = server.connect_helper(self_executable(), "peer_connect_and_exit");
  ASSERT_TRUE(connection && child);
  const pid_t pid = child->pid();
  ASSERT_TRUE(child->wait_exit());

  const auto strong = platform::identify_peer(connection->native_handle());
  ASSERT_TRUE(strong);
  EXPECT_EQ(strong->pid(), pid);
  EXPECT_FALSE(platform::peer_executable(*strong));

  const auto weak =
      platform::identify_peer(connection->native_handle(), platform::PeerPinning::PidOnly);
  ASSERT_TRUE(weak);
  const auto weak_path = platform::peer_executable(*weak);
  if (!std::filesystem::exists("/proc/" + std::to_string(pid))) {
    EXPECT_FALSE(weak_path);
  }
}

}  // namespace
}  // namespace nimbletrace_test
