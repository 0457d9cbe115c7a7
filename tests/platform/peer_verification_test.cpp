#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/sched.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#endif

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "app_lib/service_transport/transport.h"
#include "app_lib/sys/path_text.h"
#include "app_lib/sys/sys_error.h"
#include "tests/support/test_support.h"
#include "tests/support/transport_peer.h"

namespace nimbletrace_test {
namespace {

namespace fs = std::filesystem;
using app_lib::service_transport::ServiceTransportForm;
using app_lib::service_transport::ServiceTransportStream;
using app_lib::sys::UniqueFd;

// Writes a request on the inherited descriptor argv[0] and stays until the
// other end closes, so that what it runs can be read while its bytes are.
NIMBLETRACE_TEST_HELPER(write_and_hold) {
  if (argc < 1) return 2;
  const int fd = std::atoi(argv[0]);
  if (!send_raw(fd, "{}\n")) return 3;
  (void)receive_until_eof(fd, SLOW_WAIT_LIMIT);
  return 0;
}

// Connects and proves it with one byte; on the test's cue (a byte back)
// writes a whole request and exits.
NIMBLETRACE_TEST_HELPER(peer_write_on_cue_and_exit) {
  if (argc < 1) return 2;
  const auto fd =
      connect_raw(app_lib::service_transport::ServiceTransport::unix_socket(argv[0]));
  if (!fd || !send_raw(fd.get(), "x")) return 3;
  char cue = 0;
  if (!wait_for_events(fd.get(), POLLIN, deadline_after(SLOW_WAIT_LIMIT)) ||
      ::recv(fd.get(), &cue, 1, 0) != 1) {
    return 4;
  }
  return send_raw(fd.get(), "{\"type\":\"ping\"}\n") ? 0 : 5;
}

#if defined(__linux__)
// A child of this process, placed at a process id of the caller's choice
// (clone3 with set_tid, Linux 5.5 and later, CAP_SYS_ADMIN), running this
// binary until it is destroyed.
class ProcessAtId {
 public:
  static app_lib::Result<ProcessAtId> start(pid_t pid) {
    int hold[2] = {-1, -1};
    if (::pipe2(hold, O_CLOEXEC) != 0) return app_lib::fail(app_lib::sys::last_sys_error_text());
    UniqueFd read_end(hold[0]);
    UniqueFd write_end(hold[1]);
    clone_args args{};
    args.exit_signal = SIGCHLD;
    args.set_tid = reinterpret_cast<std::uintptr_t>(&pid);
    args.set_tid_size = 1;
    const long child = ::syscall(SYS_clone3, &args, sizeof args);
    if (child == 0) {
      // Only system calls from here: this is a copy of a threaded process.
      ::close(hold[1]);
      char byte = 0;
      (void)::read(hold[0], &byte, 1);
      ::_exit(0);
    }
    if (child < 0) return app_lib::fail(app_lib::sys::last_sys_error_text());
    return ProcessAtId(static_cast<pid_t>(child), std::move(write_end));
  }
  ProcessAtId(ProcessAtId&&) = default;
  ~ProcessAtId() {
    if (!release_) return;
    release_.reset();
    (void)::waitpid(pid_, nullptr, 0);
  }

 private:
  ProcessAtId(pid_t pid, UniqueFd release) : pid_(pid), release_(std::move(release)) {}
  pid_t pid_;
  UniqueFd release_;
};
#endif

class PeerVerificationTest : public testing::Test {
 protected:
  struct Peer {
    ServiceTransportStream stream;
    std::optional<Process> process;
    pid_t pid() const { return process ? process->pid() : -1; }
  };

  Peer connect_from(const fs::path& program, const std::string& helper = "peer_connect_and_hold") {
    auto [stream, process] = server_.connect_helper(program, helper);
    EXPECT_TRUE(stream.has_value()) << "no connection from " << program;
    return {stream ? std::move(*stream) : ServiceTransportStream(ServiceTransportForm::Unix, {}),
            std::move(process)};
  }

  fs::path copy_of_self(const std::string& name) {
    const fs::path copy = dir_ / name;
    fs::copy_file(self_, copy);
    fs::permissions(copy, fs::perms::owner_all);
    return copy;
  }

  static std::string refusal(pid_t pid, const fs::path& path) {
    return "拒绝未授权的 macOS ServiceRunner 客户端(pid=" + std::to_string(pid) +
           ", path=" + path.string() + ")";
  }

  TempDir dir_;
  PeerServer server_{dir_.path()};
  const fs::path self_ = fs::canonical(self_executable());
};

TEST_F(PeerVerificationTest, AcceptsAuthorizedClientReachedThroughSymbolicLinks) {
  const fs::path link = dir_ / "link";
  const fs::path linked_dir = dir_ / "linked-dir";
  fs::create_symlink(self_, link);
  fs::create_directory_symlink(self_.parent_path(), linked_dir);
  const struct {
    fs::path client_program;
    fs::path authorized;
  } cases[] = {
      {self_, self_},
      {link, self_},
      {self_, link},
      {link, linked_dir / "." / self_.filename()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.client_program.string() + " authorized as " + c.authorized.string());
    Peer peer = connect_from(c.client_program);
    EXPECT_OK(peer.stream.validate_client_executable(c.authorized));
  }
}

#if defined(__linux__)
// The name the kernel gives for the client can be the authorized text itself
// while that text now leads to another file: here one mounted over it in the
// checking process's mount namespace. The one look at the file behind the
// name must refuse, as resolving both names would.
TEST_F(PeerVerificationTest, RefusesClientWhoseOwnNameNowLeadsToAnotherFile) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting over a file needs root";
  const fs::path client = copy_of_self("client");
  const fs::path other = copy_of_self("other");
  Peer peer = connect_from(client);
  const std::string expected = refusal(peer.pid(), client);
  const pid_t checker = ::fork();
  if (checker == 0) {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount(other.c_str(), client.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      ::_exit(2);
    }
    const auto result = peer.stream.validate_client_executable(client);
    ::_exit(result ? 1 : result.error() == expected ? 0 : 3);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(checker, &status, 0), checker);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "no private mount namespace here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: accepted, 3: refused with another message";
}

// The client chooses the name the kernel gives for it, and that name may lead
// through a file system that never answers; so a client is judged and named
// by that name as given, whether it connected or only wrote the request on a
// connection that passed. Here the checking process sees its own directory
// mounted over the client's: an empty one, where resolving the client's name
// would fail, or one whose link at that name leads to the authorized client,
// where resolving would name that client instead.
TEST_F(PeerVerificationTest, NamesAClientAsTheKernelDoesWithoutResolvingTheName) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting over a directory needs root";
  const fs::path bin = dir_ / "bin";
  fs::create_directory(bin);
  const fs::path client = bin / "client";
  fs::copy_file(self_, client);
  fs::permissions(client, fs::perms::owner_all);
  for (const bool link_to_authorized : {false, true}) {
    SCOPED_TRACE(link_to_authorized ? "a link to the authorized client" : "an empty directory");
    Peer connector = connect_from(client);
    // This process is the peer of the pair, and passes; the client writes.
    int ends[2] = {-1, -1};
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    const int on = 1;
    ASSERT_EQ(::setsockopt(ends[0], SOL_SOCKET, SO_PASSCRED, &on, sizeof on), 0);
    ServiceTransportStream passed(ServiceTransportForm::Unix, UniqueFd(ends[0]));
    const UniqueFd writer_end(ends[1]);
    auto writer = Process::start({.argv = {client.string(), "--nt-helper", "write_and_hold",
                                           std::to_string(writer_end.get())},
                                  .inherited_fds = {writer_end.get()}});
    ASSERT_OK(writer);
    ASSERT_TRUE(wait_for_events(passed.native_handle(), POLLIN, deadline_after(WAIT_LIMIT)));
    const std::string expected[] = {refusal(connector.pid(), client),
                                    refusal(writer->pid(), client)};
    const pid_t checker = ::fork();
    if (checker == 0) {
      if (::unshare(CLONE_NEWNS) != 0 ||
          ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          ::mount("tmpfs", bin.c_str(), "tmpfs", 0, nullptr) != 0 ||
          (link_to_authorized && ::symlink(self_.c_str(), client.c_str()) != 0)) {
        ::_exit(2);
      }
      const auto connection = connector.stream.validate_client_executable(self_);
      if (!passed.validate_client_executable(self_)) ::_exit(1);
      const auto request = passed.read_request();
      const std::string got[] = {connection ? "accepted" : connection.error(),
                                 request ? "accepted" : request.error()};
      for (int i = 0; i < 2; ++i) {
        if (got[i] != expected[i]) std::fprintf(stderr, "refused with: %s\n", got[i].c_str());
      }
      ::_exit(got[0] == expected[0] && got[1] == expected[1] ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(checker, &status, 0), checker);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: this process refused, 3: another answer";
  }
}
#endif

TEST_F(PeerVerificationTest, RefusesByteIdenticalCopyNamingItsPathAndPid) {
  Peer peer = connect_from(copy_of_self("copy"));
  const auto result = peer.stream.validate_client_executable(self_);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), refusal(peer.pid(), fs::canonical(dir_ / "copy")));
}

// The loop hands over an authorized path it resolved itself; that text, and
// a link to it, give the same verdicts as any other spelling.
TEST_F(PeerVerificationTest, AlreadyResolvedAuthorizedPathGivesTheSameVerdicts) {
  const fs::path copy = copy_of_self("copy");
  Peer self_peer = connect_from(self_);
  EXPECT_OK(self_peer.stream.validate_client_executable(self_));
  Peer copy_peer = connect_from(copy);
  const auto refused = copy_peer.stream.validate_client_executable(self_);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), refusal(copy_peer.pid(), fs::canonical(copy)));
  Peer via_link = connect_from(self_);
  fs::create_symlink(self_, dir_ / "link");
  EXPECT_OK(via_link.stream.validate_client_executable(dir_ / "link"));
}

TEST_F(PeerVerificationTest, VerifiesEveryCallAfresh) {
  const fs::path authorized = dir_ / "authorized";
  const fs::path copy = copy_of_self("copy");
  fs::create_symlink(self_, authorized);
  Peer first = connect_from(self_);
  EXPECT_OK(first.stream.validate_client_executable(authorized));

  fs::remove(authorized);
  fs::create_symlink(copy, authorized);
  const auto again = first.stream.validate_client_executable(authorized);
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error(), refusal(first.pid(), self_));
  Peer second = connect_from(self_);
  EXPECT_FALSE(second.stream.validate_client_executable(authorized));
  Peer from_copy = connect_from(copy);
  EXPECT_OK(from_copy.stream.validate_client_executable(authorized));
}

TEST_F(PeerVerificationTest, RefusesEveryClientWhenTheAuthorizedPathIsMissing) {
  Peer peer = connect_from(self_);
  const auto result = peer.stream.validate_client_executable(dir_ / "missing");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "解析授权客户端路径失败: No such file or directory (os error 2)");
}

// The executable of a running process can be deleted; its link then reads
// "<path> (deleted)". The client's failure is reported before the authorized
// side's.
TEST_F(PeerVerificationTest, RefusesClientWhoseExecutableIsDeleted) {
  const fs::path copy = copy_of_self("doomed");
  Peer peer = connect_from(copy);
  fs::remove(copy);
  const auto result = peer.stream.validate_client_executable(dir_ / "missing");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(),
            "解析 ServiceRunner 客户端路径失败: No such file or directory (os error 2)");
}

TEST_F(PeerVerificationTest, RefusesClientPathThatIsNotUtf8) {
  const std::string name = "client-\xff";
  Peer peer = connect_from(copy_of_self(name));
  const auto result = peer.stream.validate_client_executable(self_);
  ASSERT_FALSE(result);
  const std::size_t index = (dir_.path() / "client-").native().size();
  EXPECT_EQ(result.error(),
            "macOS 客户端进程路径不是有效 UTF-8: invalid UTF-8 sequence of 1 bytes from index " +
                std::to_string(index));
}

TEST_F(PeerVerificationTest, RefusesPeerThatExitedBeforeTheCheck) {
  Peer peer = connect_from(self_, "peer_connect_and_exit");
  const pid_t pid = peer.pid();
  ASSERT_TRUE(peer.process && peer.process->wait_exit());
  const auto result = peer.stream.validate_client_executable(self_);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "无法读取 macOS 客户端进程路径(pid=" + std::to_string(pid) + ")");
}

#if defined(__linux__)
// What the check read, and who wrote the request, the kernel tells by
// process id; the peer is told only with a request read after the check,
// once the pin has been looked at again. A client that is still its own
// process then (exited or not) is served as itself. One that was reaped
// before the read is refused, whether its id is free or already another
// process's that runs the authorized client too: only that look tells
// either from the client.
TEST_F(PeerVerificationTest, TellsThePeerOnlyWithARequestReadWhileItsPinHolds) {
  enum class Before { Nothing, Reaped, ReapedAndIdTaken };
  for (const Before before : {Before::Nothing, Before::Reaped, Before::ReapedAndIdTaken}) {
    SCOPED_TRACE(before == Before::Nothing  ? "not reaped"
                 : before == Before::Reaped ? "reaped, its id free"
                                            : "reaped, its id taken by the authorized client");
    Peer peer = connect_from(self_, "peer_write_on_cue_and_exit");
    ASSERT_TRUE(peer.process);
    const pid_t pid = peer.pid();
    const auto accepted = peer.stream.validate_client_executable(self_);
    ASSERT_OK(accepted);
    EXPECT_EQ(*accepted, pid);
    ASSERT_TRUE(send_raw(peer.stream.native_handle(), "x"));
    std::optional<ProcessAtId> successor;
    if (before == Before::Nothing) {
      ASSERT_TRUE(
          wait_for_events(peer.stream.native_handle(), POLLIN, deadline_after(SLOW_WAIT_LIMIT)));
    } else {
      const std::optional<int> status = peer.process->wait_exit();
      ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    }
    if (before == Before::ReapedAndIdTaken) {
      auto placed = ProcessAtId::start(pid);
      if (!placed) GTEST_SKIP() << "no process can be placed at a freed id: " << placed.error();
      successor.emplace(std::move(*placed));
    }
    const auto read = peer.stream.read_request_available();
    ASSERT_TRUE(read) << "the whole request had arrived";
    if (before != Before::Nothing) {
      EXPECT_EQ(error_of(*read),
                refusal(pid, before == Before::ReapedAndIdTaken ? self_ : fs::path()));
      continue;
    }
    ASSERT_OK(*read);
    ASSERT_TRUE((*read)->peer);
    EXPECT_EQ((*read)->peer->pid(), pid);
    EXPECT_EQ((*read)->peer->credentials().uid, ::geteuid());
    EXPECT_EQ((*read)->peer->credentials().gid, ::getegid());
  }
}
#endif

TEST_F(PeerVerificationTest, RefusesTcpStreamWhateverIsConnected) {
  int fds[2] = {-1, -1};
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  const UniqueFd other_end(fds[1]);
  // The peer of the pair is this very, authorized process: only the form
  // decides. The stream without a descriptor shows no query is made first.
  ServiceTransportStream over_pair(ServiceTransportForm::Tcp, UniqueFd(fds[0]));
  ServiceTransportStream without_socket(ServiceTransportForm::Tcp, UniqueFd{});
  for (auto* stream : {&over_pair, &without_socket}) {
    const auto result = stream->validate_client_executable(self_);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), "macOS 高权限服务必须使用 Unix Socket");
  }
}

TEST_F(PeerVerificationTest, RefusesUnixStreamWithoutPeerProcess) {
  int pipe_fds[2] = {-1, -1};
  ASSERT_EQ(::pipe2(pipe_fds, O_CLOEXEC), 0);
  const UniqueFd write_end(pipe_fds[1]);
  ServiceTransportStream stream(ServiceTransportForm::Unix, UniqueFd(pipe_fds[0]));
  const auto result = stream.validate_client_executable(self_);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "无法识别 macOS ServiceRunner 客户端进程");
}

}  // namespace
}  // namespace nimbletrace_test
