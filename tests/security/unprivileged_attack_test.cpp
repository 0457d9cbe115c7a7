// The privileged service attacked by a local user without privileges. Each
// attacker is this test binary, or a copy of it, re-executed as a helper that
// runs as an unprivileged user from its first instruction; only the setup
// an attacker could not do itself (a hard link to a root-only file, another
// user's home) is made by the test as root.

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app_lib/platform/socket_flags.h"
#include "app_lib/service_runner/service_runner.h"
#include "app_lib/service_transport/connection_closer.h"
#include "app_lib/service_transport/transport.h"
#include "tests/support/service_harness.h"
#include "tests/support/test_support.h"
#include "tests/support/xnu_shim.h"

namespace nimbletrace_test {
namespace {

namespace fs = std::filesystem;
using app_lib::service_transport::ServiceTransport;
using app_lib::service_transport::ServiceTransportStream;
using app_lib::sys::UniqueFd;

// Exit status of a helper that cannot run its attack on this machine; it
// prints the reason first.
constexpr int SKIPPED = 77;
// The longest attack makes hundreds of exchanges while a thread races them.
constexpr std::chrono::seconds ATTACK_LIMIT{60};

constexpr std::string_view REFUSAL_HEAD =
    R"({"ok":false,"message":"拒绝未授权的 macOS ServiceRunner 客户端(pid=)";

std::string exchange_with(const fs::path& socket, std::string_view line) {
  return raw_exchange(ServiceTransport::unix_socket(socket), line);
}

std::string text_of_own_executable() {
  std::error_code ec;
  return fs::read_symlink("/proc/self/exe", ec).string();
}

// argv: socket, line. Prints "answer:" and what the service said.
NIMBLETRACE_TEST_HELPER(attacker_send) {
  if (argc != 2) return 2;
  std::printf("answer:%s", exchange_with(argv[0], argv[1]).c_str());
  return 0;
}

// argv: socket, path. Prints "mkdir:" and what mkdir said.
NIMBLETRACE_TEST_HELPER(attacker_mkdir) {
  if (argc != 2) return 2;
  std::printf("mkdir:%s", ::mkdir(argv[1], 0777) == 0 ? "made" : std::strerror(errno));
  return 0;
}

// argv: socket, line, authorized client. Runs from the attacker's own copy of
// this binary, deletes that copy, and plants a link named as the kernel names
// a deleted executable ("<path> (deleted)"), pointing at the authorized client.
NIMBLETRACE_TEST_HELPER(deleted_executable_attack) {
  if (argc != 3) return 2;
  const std::string own = text_of_own_executable();
  if (::unlink(own.c_str()) != 0) return 3;
  const std::string shown = text_of_own_executable();
  if (shown != own + " (deleted)") return 4;
  if (::symlink(argv[2], shown.c_str()) != 0) return 5;
  std::printf("answer:%s", exchange_with(argv[0], argv[1]).c_str());
  return 0;
}

// Runs inside the attacker's namespace, from the file mounted over the
// authorized client: the kernel now shows exactly the authorized path.
// argv: socket, line.
NIMBLETRACE_TEST_HELPER(send_as_is) {
  if (argc != 2) return 2;
  std::printf("exe:%s\nanswer:%s", text_of_own_executable().c_str(),
              exchange_with(argv[0], argv[1]).c_str());
  return 0;
}

bool write_text(const char* path, const std::string& text) {
  const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return written;
}

// Runs `in_child` in a child cloned into a user namespace of its own (plus
// `extra_flags`), as root there, and returns its exit status; SKIPPED,
// with the reason printed, where unprivileged user namespaces are not
// available. clone rather than unshare: unshare(CLONE_NEWUSER) refuses a
// process with more than one thread, and a sanitizer's runtime may have
// started one. The child only makes system calls until it execs.
template <typename InChild>
int in_own_user_namespace(unsigned long extra_flags, InChild in_child) {
  const std::string uid_map = "0 " + std::to_string(ATTACKER_UID) + " 1\n";
  const std::string gid_map = "0 " + std::to_string(ATTACKER_GID) + " 1\n";
  const long child = ::syscall(SYS_clone, CLONE_NEWUSER | extra_flags | SIGCHLD, nullptr, nullptr,
                               nullptr, nullptr);
  if (child < 0) {
    std::printf("unprivileged user namespaces are not available here: %s\n", std::strerror(errno));
    return SKIPPED;
  }
  if (child == 0) {
    if (!write_text("/proc/self/setgroups", "deny") || !write_text("/proc/self/uid_map", uid_map) ||
        !write_text("/proc/self/gid_map", gid_map)) {
      ::_exit(4);
    }
    in_child();
    ::_exit(6);
  }
  int status = 0;
  if (::waitpid(static_cast<pid_t>(child), &status, 0) != child) return 7;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 8;
}

// argv: socket, line, authorized client, attacker directory holding a file of
// the authorized client's name. In a user and mount namespace of its own, the
// attacker mounts that directory over the authorized client's directory and
// runs its file under the authorized path.
NIMBLETRACE_TEST_HELPER(namespace_alias_attack) {
  if (argc != 4) return 2;
  const std::string authorized_dir = fs::path(argv[2]).parent_path().string();
  return in_own_user_namespace(CLONE_NEWNS, [&] {
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount(argv[3], authorized_dir.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      ::_exit(5);
    }
    ::execl(argv[2], argv[2], "--nt-helper", "send_as_is", argv[0], argv[1], nullptr);
  });
}

// argv: socket, line, attacker directory, authorized client's directory,
// tries. The attacker runs from <dir>/d/<name>, <name> being the authorized
// client's file name, while a thread keeps swapping <dir>/d for a symbolic
// link to the authorized client's directory and back. A check that reads the
// executable's name and resolves it later can be made to resolve the
// authorized client. Prints how many connections were accepted.
NIMBLETRACE_TEST_HELPER(swap_race_attack) {
  if (argc != 5) return 2;
  const fs::path dir = argv[2];
  const std::string real = (dir / "d").string();
  const std::string parked = (dir / "e").string();
  const int tries = std::stoi(argv[4]);
  std::atomic<bool> done{false};
  std::thread swapper([&] {
    while (!done.load()) {
      if (::rename(real.c_str(), parked.c_str()) != 0) break;
      (void)::symlink(argv[3], real.c_str());
      std::this_thread::yield();
      (void)::unlink(real.c_str());
      if (::rename(parked.c_str(), real.c_str()) != 0) break;
      std::this_thread::yield();
    }
  });
  int accepted = 0;
  int refused = 0;
  for (int i = 0; i < tries; ++i) {
    const std::string answer = exchange_with(argv[0], argv[1]);
    if (answer.starts_with(R"({"ok":true)")) ++accepted;
    if (answer.starts_with(R"({"ok":false)")) ++refused;
  }
  done.store(true);
  swapper.join();
  std::printf("accepted=%d refused=%d\n", accepted, refused);
  return 0;
}

// Sends `fd` with one byte over the Unix socket `via`, as SCM_RIGHTS; the
// errno of sendmsg, or 0.
int send_descriptor(int via, int fd, std::string_view bytes = "x") {
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  iovec part{const_cast<char*>(bytes.data()), bytes.size()};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&message);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
  return ::sendmsg(via, &message, MSG_NOSIGNAL) < 0 ? errno : 0;
}

UniqueFd receive_descriptor(int via) {
  char byte = 0;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  iovec part{&byte, 1};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  if (::recvmsg(via, &message, MSG_CMSG_CLOEXEC) != 1) return UniqueFd{};
  const cmsghdr* c = CMSG_FIRSTHDR(&message);
  if (c == nullptr || c->cmsg_type != SCM_RIGHTS) return UniqueFd{};
  int fd = -1;
  std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
  return UniqueFd(fd);
}

// argv: socket, channel descriptor. Run as the authorized client: connects,
// hands the connection over the channel it inherited, and stays alive until
// the other end of the channel closes.
NIMBLETRACE_TEST_HELPER(connect_and_hand_over) {
  if (argc != 2) return 2;
  const int channel = std::stoi(argv[1]);
  const UniqueFd fd = connect_raw(ServiceTransport::unix_socket(argv[0]));
  if (!fd || send_descriptor(channel, fd.get()) != 0) return 3;
  char byte = 0;
  while (::read(channel, &byte, 1) > 0) {
  }
  return 0;
}

// argv: socket, line, authorized client. The attacker's own program has the
// authorized client connect and hand it the connection, then writes the
// request on it while the authorized client, the process the service checks,
// stays alive.
NIMBLETRACE_TEST_HELPER(descriptor_passing_attack) {
  if (argc != 3) return 2;
  int pair[2] = {-1, -1};
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return 3;
  UniqueFd own_end(pair[0]);
  const pid_t client = ::fork();
  if (client == 0) {
    ::fcntl(pair[1], F_SETFD, 0);
    const std::string channel = std::to_string(pair[1]);
    ::execl(argv[2], argv[2], "--nt-helper", "connect_and_hand_over", argv[0], channel.c_str(),
            nullptr);
    ::_exit(5);
  }
  ::close(pair[1]);
  if (client < 0) return 4;
  const UniqueFd connection = receive_descriptor(own_end.get());
  std::string answer = "<no connection>";
  if (connection) {
    (void)send_raw(connection.get(), argv[1]);
    answer = receive_until_eof(connection.get());
  }
  own_end.reset();
  int status = 0;
  (void)::waitpid(client, &status, 0);
  std::printf("answer:%s", answer.c_str());
  return 0;
}

// Exit status of write_under_id when it did not get the id it was meant to.
constexpr int MISSED_ID = 78;

// argv: socket, channel descriptor. Run as the authorized client: connects,
// sends a blank (white space before a request is no request yet), waits
// until the service has read it, which it does only after its check, hands
// the connection over the channel and exits.
NIMBLETRACE_TEST_HELPER(connect_checked_and_hand_over) {
  if (argc != 2) return 2;
  const int channel = std::stoi(argv[1]);
  const UniqueFd fd = connect_raw(ServiceTransport::unix_socket(argv[0]));
  if (!fd || !send_raw(fd.get(), " ")) return 3;
  // SIOCOUTQ: what the peer has not yet read of ours (net/unix/af_unix.c,
  // unix_outq_len).
  const bool read = eventually([&] {
    int unread = -1;
    return ::ioctl(fd.get(), SIOCOUTQ, &unread) == 0 && unread == 0;
  });
  if (!read) return 4;
  return send_descriptor(channel, fd.get()) == 0 ? 0 : 5;
}

// argv: connection descriptor, process id, line. Writes `line` on the
// inherited connection only if this process got that id, and prints
// "answer:" and what came back.
NIMBLETRACE_TEST_HELPER(write_under_id) {
  if (argc != 3) return 2;
  if (::getpid() != static_cast<pid_t>(std::stol(argv[1]))) return MISSED_ID;
  const int connection = std::stoi(argv[0]);
  (void)send_raw(connection, argv[2]);
  std::printf("answer:%s", receive_until_eof(connection).c_str());
  return 0;
}

// argv: socket, line, how ("whole", "bytes", "thread"), marker file or "-".
// Run as the authorized client: sends the request the way `how` says,
// creates the marker once it is sent, and prints the answer.
NIMBLETRACE_TEST_HELPER(send_request_as) {
  if (argc != 4) return 2;
  const UniqueFd fd = connect_raw(ServiceTransport::unix_socket(argv[0]));
  if (!fd) return 3;
  const std::string line = argv[1];
  const std::string how = argv[2];
  if (how == "whole") {
    (void)send_raw(fd.get(), line);
  } else if (how == "bytes") {
    for (const char byte : line) {
      (void)send_raw(fd.get(), std::string_view(&byte, 1));
      poll_pause();
    }
  } else if (how == "thread") {
    std::thread([&] { (void)send_raw(fd.get(), line); }).join();
  } else {
    return 4;
  }
  if (std::string_view(argv[3]) != "-") write_file(argv[3], "sent\n");
  std::printf("answer:%s", receive_until_eof(fd.get()).c_str());
  return 0;
}

// argv: socket, line. Queues `line` on a connection to the service together
// with a TCP socket that holds unsent data and lingers for an hour on close,
// then lets go of both, so that the last reference to the TCP socket is the
// one in flight. The TCP peer, which never reads, stays open until this
// process is killed. Prints "sendmsg:ok" or "sendmsg:" and the error.
// A TCP socket with unsent data that a close would wait an hour for
// (SO_LINGER), its peer a listener that never accepts: `peer`, which the
// caller keeps open so that the data is never taken.
UniqueFd lingering_socket(int peer) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (::getsockname(peer, reinterpret_cast<sockaddr*>(&address), &length) != 0) return {};
  UniqueFd tcp(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int small = 4096;
  ::setsockopt(tcp.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  if (::connect(tcp.get(), reinterpret_cast<sockaddr*>(&address), length) != 0) return {};
  const std::string filler(65536, 'z');
  while (::send(tcp.get(), filler.data(), filler.size(), MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
  }
  const linger an_hour{1, 3600};
  ::setsockopt(tcp.get(), SOL_SOCKET, SO_LINGER, &an_hour, sizeof an_hour);
  return tcp;
}

UniqueFd loopback_listener() {
  UniqueFd peer(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int small = 4096;
  ::setsockopt(peer.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(peer.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(peer.get(), 4096) != 0) {
    return {};
  }
  return peer;
}

// argv: socket, line, count. Makes `count` connections, each carrying its
// line and its own lingering socket, and lets go of both; prints how many
// went and holds the peers until killed.
NIMBLETRACE_TEST_HELPER(lingering_descriptor_attack) {
  if (argc != 3) return 2;
  const UniqueFd peer = loopback_listener();
  if (!peer) return 3;
  const int count = std::atoi(argv[2]);
  std::string sent;
  // A socket that did not go stays open until exit, which does not linger.
  std::vector<UniqueFd> kept;
  for (int i = 0; i < count; ++i) {
    UniqueFd tcp = lingering_socket(peer.get());
    if (!tcp) return 4;
    UniqueFd connection = connect_raw(ServiceTransport::unix_socket(argv[0]));
    const int error = connection ? send_descriptor(connection.get(), tcp.get(), argv[1]) : errno;
    // On success the reference in flight is the last one.
    if (error != 0) kept.push_back(std::move(tcp));
    if (sent.empty() || error != 0) sent = error == 0 ? "ok" : std::strerror(error);
  }
  std::printf("sendmsg:%s\n", sent.c_str());
  std::fflush(stdout);
  ::sleep(static_cast<unsigned>(ATTACK_LIMIT.count()));
  return 0;
}

// argv: socket, line, count, cgroup. Waits until the test has moved it into
// `cgroup` (pids), makes every task the cgroup still allows, then floods as
// above.
NIMBLETRACE_TEST_HELPER(every_task_then_lingering_flood) {
  if (argc != 4) return 2;
  const auto moved = [&] {
    std::ifstream cgroups("/proc/self/cgroup");
    for (std::string line; std::getline(cgroups, line);) {
      if (line.find(":pids:") != std::string::npos && line.ends_with(argv[3])) return true;
    }
    return false;
  };
  if (!eventually(moved)) return 3;
  int held = 0;
  for (;;) {
    const pid_t child = ::fork();
    if (child < 0) break;
    if (child == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::pause();
      ::_exit(0);
    }
    ++held;
  }
  std::printf("held:%d\n", held);
  char* flood[] = {argv[0], argv[1], argv[2], nullptr};
  return nt_helper_lingering_descriptor_attack(3, flood);
}

// The service's helper role, for a stream made by the test itself.
NIMBLETRACE_TEST_HELPER(connection_closer) {
  return app_lib::service_transport::run_connection_closer(STDIN_FILENO);
}

// Replaces every mapping of this process's executable by an anonymous copy
// at the same address, so that no mapping of that file is left (the kernel
// lets a process change its executable only then: replace_mm_exe_file).
// The copy is made by the kernel (process_vm_readv), so a sanitizer sees no
// read of its guard zones.
bool detach_from_own_image() {
  const std::string own = text_of_own_executable();
  struct Range {
    std::uintptr_t start;
    std::uintptr_t end;
    int protection;
  };
  std::vector<Range> ranges;
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    std::istringstream fields(line);
    std::string span, perms, offset, device, inode, path;
    fields >> span >> perms >> offset >> device >> inode;
    std::getline(fields >> std::ws, path);
    if (path != own) continue;
    const std::size_t dash = span.find('-');
    ranges.push_back({std::stoull(span.substr(0, dash), nullptr, 16),
                      std::stoull(span.substr(dash + 1), nullptr, 16),
                      (perms[0] == 'r' ? PROT_READ : 0) | (perms[1] == 'w' ? PROT_WRITE : 0) |
                          (perms[2] == 'x' ? PROT_EXEC : 0)});
  }
  for (const Range& r : ranges) {
    const std::size_t size = r.end - r.start;
    void* copy = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (copy == MAP_FAILED) return false;
    if ((r.protection & PROT_READ) != 0) {
      iovec local{copy, size};
      iovec remote{reinterpret_cast<void*>(r.start), size};
      if (::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0) != static_cast<ssize_t>(size)) {
        return false;
      }
    }
    if (::mprotect(copy, size, r.protection) != 0 ||
        ::mremap(copy, size, size, MREMAP_MAYMOVE | MREMAP_FIXED,
                 reinterpret_cast<void*>(r.start)) != reinterpret_cast<void*>(r.start)) {
      return false;
    }
  }
  return !ranges.empty();
}

// The memory layout the kernel reports for this process (/proc/self/stat),
// to hand back unchanged with a new executable.
std::optional<prctl_mm_map> current_mm_map(int exe_fd) {
  std::ifstream stat_file("/proc/self/stat");
  std::string text((std::istreambuf_iterator<char>(stat_file)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::vector<unsigned long long> values;
  // Field 3 (the state) is the first after the command's closing parenthesis.
  for (std::string field; fields >> field;) {
    values.push_back(std::strtoull(field.c_str(), nullptr, 10));
  }
  if (values.size() < 49) return std::nullopt;
  const auto at = [&](std::size_t field) { return values[field - 3]; };
  prctl_mm_map map{};
  map.start_code = at(26);
  map.end_code = at(27);
  map.start_stack = at(28);
  map.start_data = at(45);
  map.end_data = at(46);
  map.start_brk = at(47);
  map.brk = static_cast<unsigned long long>(::syscall(SYS_brk, 0));
  map.arg_start = at(48);
  map.arg_end = at(49);
  map.env_start = at(50);
  map.env_end = at(51);
  map.exe_fd = static_cast<std::uint32_t>(exe_fd);
  return map;
}

// argv: socket, line, authorized client. Runs as uid 0 of a user namespace
// of its own: gives itself the authorized client as its executable, then
// connects and sends `line`.
NIMBLETRACE_TEST_HELPER(masquerade_in_namespace) {
  if (argc != 3) return 2;
  const UniqueFd exe(::open(argv[2], O_RDONLY | O_CLOEXEC));
  if (!exe || !detach_from_own_image()) return 3;
  const auto map = current_mm_map(exe.get());
  if (!map) return 4;
  if (::prctl(PR_SET_MM, PR_SET_MM_MAP, &*map, sizeof *map, 0) != 0) {
    std::printf("prctl(PR_SET_MM_MAP) with exe_fd is not available here: %s\n",
                std::strerror(errno));
    return SKIPPED;
  }
  std::printf("exe:%s\nanswer:%s", text_of_own_executable().c_str(),
              exchange_with(argv[0], argv[1]).c_str());
  return 0;
}

// argv: socket, line, authorized client. Enters a user namespace of its own
// and runs masquerade_in_namespace there.
NIMBLETRACE_TEST_HELPER(exe_masquerade_attack) {
  if (argc != 3) return 2;
  const std::string own = text_of_own_executable();
  // The child execs a fresh copy of this program at once.
  return in_own_user_namespace(0, [&] {
    ::execl(own.c_str(), own.c_str(), "--nt-helper", "masquerade_in_namespace", argv[0], argv[1],
            argv[2], nullptr);
  });
}

mode_t mode_of(const fs::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

std::string refused_with(std::string_view message) {
  return response_line(false, message, "Unavailable");
}

class UnprivilegedAttackTest : public SandboxServiceTest {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "attackers are made by dropping root; run as root";
    SandboxServiceTest::SetUp();
    // The authorized client lives where every user can run it but only root
    // can change it, as an installed application does.
    const SandboxPaths p = sandbox_paths();
    client_dir_ = p.root / "Applications";
    fs::create_directories(client_dir_);
    client_ = client_dir_ / "nimbletrace-client";
    fs::copy_file(self_executable(), client_);
    for (fs::path dir = client_dir_; dir != p.root.parent_path(); dir = dir.parent_path()) {
      ASSERT_EQ(::chmod(dir.c_str(), 0755), 0) << dir;
    }
    ASSERT_EQ(::chmod(client_.c_str(), 0755), 0);
    write_file(p.authorized_file, client_.string() + "\n");
    // The attacker's own home.
    ASSERT_EQ(::chown(home_.path().c_str(), ATTACKER_UID, ATTACKER_GID), 0);
    start_service();
  }

  // Runs `program` as the helper `helper` as the attacker's user; returns its
  // output, failing the test unless it exited with 0.
  std::string attack(const fs::path& program, const std::string& helper,
                     std::vector<std::string> args, std::vector<gid_t> groups = {}) {
    std::vector<std::string> argv{program.string(), "--nt-helper", helper,
                                  sandbox_paths().socket.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    auto [status, output] = run_program(
        {.argv = std::move(argv), .user = Process::User{ATTACKER_UID, ATTACKER_GID, groups}},
        ATTACK_LIMIT);
    if (WIFEXITED(status) && WEXITSTATUS(status) == SKIPPED) {
      skipped_ = output;
      return output;
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << helper << ": wait status " << status << ", output: " << output;
    return output;
  }

  // A copy of this binary that the attacker owns, named like the authorized
  // client, in `dir` (created, owned by the attacker).
  fs::path attacker_copy(const fs::path& dir) {
    fs::create_directories(dir);
    EXPECT_EQ(::chown(dir.c_str(), ATTACKER_UID, ATTACKER_GID), 0);
    const fs::path copy = dir / client_.filename();
    fs::copy_file(self_executable(), copy);
    EXPECT_EQ(::chown(copy.c_str(), ATTACKER_UID, ATTACKER_GID), 0);
    EXPECT_EQ(::chmod(copy.c_str(), 0755), 0);
    return copy;
  }

  // A .nimbletrace/config.yaml under `base`, all owned by `uid`.
  fs::path config_dir_of(const fs::path& base, uid_t uid, gid_t gid, std::string_view contents) {
    const fs::path dir = base / ".nimbletrace";
    fs::create_directories(dir);
    write_file(dir / "config.yaml", contents);
    for (const fs::path& p : {base, dir, dir / "config.yaml"}) {
      EXPECT_EQ(::chown(p.c_str(), uid, gid), 0) << p;
    }
    return dir;
  }

  void expect_nothing_done() {
    EXPECT_FALSE(fs::exists(fs::symlink_status(sandbox_paths().runtime_dir)));
    EXPECT_TRUE(running_cores().empty());
    EXPECT_EQ(attack(client_, "attacker_send", {std::string(PING_LINE)}), "answer:" + PONG_STOPPED)
        << "the service must go on serving";
  }

  // Runs `attack` on another thread while the service is stopped, and lets
  // the service go on once `ready` holds: a stopped service stands for one
  // busy with other clients, so whatever the attacker does before `ready`
  // happens before the check.
  std::string attack_while_stopped(const std::function<std::string()>& attack,
                                   const std::function<bool()>& ready) {
    std::string output;
    service_->signal(SIGSTOP);
    // kill() returns before the stop takes hold; until the loop's thread, the
    // main one, is seen stopped, it may still accept the attacker.
    const pid_t pid = service_->pid();
    if (!eventually([&] {
          const auto stat = proc_stat(pid);
          return stat && stat->state == 'T';
        })) {
      service_->signal(SIGCONT);
      ADD_FAILURE() << "the service never stopped";
      return output;
    }
    {
      std::jthread attacker([&] { output = attack(); });
      const bool done = eventually(ready, SLOW_WAIT_LIMIT);
      service_->signal(SIGCONT);
      EXPECT_TRUE(done) << "the attacker never got ready";
    }
    return output;
  }

  void expect_served_however_the_client_writes();

  // The refusal of the peer check for a process running `program`.
  static void expect_refusal_naming(const std::string& output, const fs::path& program) {
    ASSERT_TRUE(output.starts_with("answer:")) << output;
    const std::string answer = output.substr(7);
    EXPECT_TRUE(answer.starts_with(REFUSAL_HEAD)) << answer;
    EXPECT_TRUE(answer.ends_with(", path=" + fs::canonical(program).string() + ")\"," +
                                 std::string(UNAVAILABLE_END)))
        << answer;
  }

  TempDir home_;
  fs::path client_dir_;
  fs::path client_;
  std::string skipped_;
};

// The positive case first: an unprivileged user with the authorized client
// starts the core on their own configuration, also through a symbolically
// linked .nimbletrace, so reading with the user's rights takes nothing away
// from a legitimate client.
TEST_F(UnprivilegedAttackTest, OwnConfigurationThroughALinkedDirectoryStartsTheCore) {
  const fs::path real = home_ / "real";
  fs::create_directories(real);
  ASSERT_EQ(::chown(real.c_str(), ATTACKER_UID, ATTACKER_GID), 0);
  const std::string contents = "listen: 127.0.0.1\n";
  const fs::path dir = config_dir_of(real, ATTACKER_UID, ATTACKER_GID, contents);
  ASSERT_EQ(::chmod((dir / "config.yaml").c_str(), 0600), 0);
  fs::create_symlink(dir, home_ / ".nimbletrace");

  const fs::path linked = home_ / ".nimbletrace";
  const std::string output =
      attack(client_, "attacker_send",
             {start_core_line(linked, linked / "config.yaml", sha256_of(contents))});
  EXPECT_EQ(output, "answer:" + STARTED);
  EXPECT_EQ(read_file(sandbox_paths().runtime_dir / "config.yaml"), contents);
  EXPECT_EQ(running_cores().size(), 1u);
}

// What a user may read through a supplementary group is theirs to start the
// core on; the same user outside the group is refused.
TEST_F(UnprivilegedAttackTest, ConfigurationReadableThroughTheUsersGroupStartsTheCore) {
  constexpr gid_t kShared = VICTIM_GID;
  const std::string contents = "listen: 127.0.0.1\n";
  const fs::path dir = config_dir_of(home_.path(), ATTACKER_UID, ATTACKER_GID, contents);
  ASSERT_EQ(::chown((dir / "config.yaml").c_str(), 0, kShared), 0);
  ASSERT_EQ(::chmod((dir / "config.yaml").c_str(), 0640), 0);
  const std::string line = start_core_line(dir, dir / "config.yaml", sha256_of(contents));
  EXPECT_EQ(
      attack(client_, "attacker_send", {line}),
      "answer:" + refused_with("读取 macOS 服务核心配置失败: Permission denied (os error 13)"));
  EXPECT_EQ(attack(client_, "attacker_send", {line}, {kShared}), "answer:" + STARTED);
  EXPECT_EQ(running_cores().size(), 1u);
}

TEST_F(UnprivilegedAttackTest, LinkPlantedAtTheDeletedExecutablesNameIsRefused) {
  const fs::path copy = attacker_copy(home_ / "bin");
  const std::string output =
      attack(copy, "deleted_executable_attack", {std::string(PING_LINE), client_.string()});
  ASSERT_TRUE(output.starts_with("answer:")) << output;
  const std::string answer = output.substr(7);
  // The name would resolve to the authorized client, but the check never
  // resolves a client's name: the file that runs has no name left.
  EXPECT_EQ(answer, response_line(false,
                                  "解析 ServiceRunner 客户端路径失败: No such file or directory (os "
                                  "error 2)",
                                  "Unavailable"));
  expect_nothing_done();
}

TEST_F(UnprivilegedAttackTest, OwnBinaryMountedOverTheAuthorizedClientIsRefused) {
  const fs::path copy = attacker_copy(home_ / "bin");
  const std::string output = attack(copy, "namespace_alias_attack",
                                    {std::string(PING_LINE), client_.string(), copy.parent_path()});
  if (!skipped_.empty()) GTEST_SKIP() << skipped_;
  // The alias works: the kernel shows the attacker's process under exactly
  // the authorized path.
  EXPECT_TRUE(output.starts_with("exe:" + client_.string() + "\n")) << output;
  const auto answer_at = output.find("answer:");
  ASSERT_NE(answer_at, std::string::npos) << output;
  const std::string answer = output.substr(answer_at + 7);
  EXPECT_TRUE(answer.starts_with(REFUSAL_HEAD)) << answer;
  EXPECT_TRUE(answer.ends_with(UNAVAILABLE_END)) << answer;
  expect_nothing_done();
}

TEST_F(UnprivilegedAttackTest, DirectorySwappedForALinkDuringTheCheckNeverPasses) {
  const fs::path race_dir = home_ / "race";
  const fs::path copy = attacker_copy(race_dir / "d");
  ASSERT_EQ(::chown(race_dir.c_str(), ATTACKER_UID, ATTACKER_GID), 0);
  constexpr int tries = 300;
  const std::string output = attack(
      copy, "swap_race_attack",
      {std::string(PING_LINE), race_dir.string(), client_dir_.string(), std::to_string(tries)});
  int accepted = -1;
  int refused = -1;
  ASSERT_EQ(std::sscanf(output.c_str(), "accepted=%d refused=%d", &accepted, &refused), 2)
      << output;
  EXPECT_EQ(accepted, 0) << output;
  EXPECT_EQ(refused, tries) << output;
  expect_nothing_done();
}

// The authorized client run by a user who is not the configuration's owner:
// the service reads with that user's rights, so what the user cannot read,
// the service does not read for them, and the answer is the one the user
// would get: permission denied, with no hint whether the path exists.
TEST_F(UnprivilegedAttackTest, FilesTheRequesterCannotReadAreNotReadForThem) {
  const SandboxPaths p = sandbox_paths();
  const std::string secret = "victim-secret: 7c41\n";
  const std::string denied_dir =
      refused_with("解析 macOS 服务核心配置目录失败: Permission denied (os error 13)");
  const std::string denied_read =
      refused_with("读取 macOS 服务核心配置失败: Permission denied (os error 13)");

  // Another user's private configuration in a home only they can enter.
  TempDir victim_home;
  const fs::path victim_dir = config_dir_of(victim_home.path(), VICTIM_UID, VICTIM_GID, secret);
  ASSERT_EQ(::chmod(victim_home.path().c_str(), 0700), 0);
  ASSERT_EQ(::chmod((victim_dir / "config.yaml").c_str(), 0600), 0);

  // A root-only file under the attacker's own .nimbletrace, by a hard link
  // that only root could make here (Linux protects hard links; macOS does not).
  TempDir root_only;
  write_file(root_only / "shadow", secret);
  ASSERT_EQ(::chmod((root_only / "shadow").c_str(), 0600), 0);
  const fs::path own_dir = config_dir_of(home_.path(), ATTACKER_UID, ATTACKER_GID, "own: 1\n");
  fs::remove(own_dir / "config.yaml");
  fs::create_hard_link(root_only / "shadow", own_dir / "config.yaml");

  struct Case {
    std::string name;
    fs::path dir;
    fs::path file;
    std::string expected;
  };
  const Case cases[] = {
      {"another user's private configuration", victim_dir, victim_dir / "config.yaml", denied_dir},
      {"a path that does not exist in that home", victim_home / "none" / ".nimbletrace",
       victim_home / "none" / ".nimbletrace" / "config.yaml", denied_dir},
      {"a root-only file linked in as config.yaml", own_dir, own_dir / "config.yaml", denied_read},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The true digest: only the file's rights stand in the way.
    const std::string output =
        attack(client_, "attacker_send", {start_core_line(c.dir, c.file, sha256_of(secret))});
    EXPECT_EQ(output, "answer:" + c.expected);
    expect_nothing_done();
  }
  EXPECT_EQ(read_file(root_only / "shadow"), secret);
  EXPECT_EQ(mode_of(root_only / "shadow"), S_IFREG | 0600u);
}

// /proc/PID/cwd of another user's process leads inside their home, past
// its 0700 door. Followed with the service's CAP_SYS_PTRACE, "Not a
// directory" against "No such file" told which names exist there; the user
// alone is refused the link itself.
TEST_F(UnprivilegedAttackTest, AnotherUsersProcessDirectoryTellsNothingOfItsNames) {
  TempDir victim_home;
  const fs::path work = victim_home / "work";
  fs::create_directories(work);
  write_file(work / "present", "x\n");
  for (const fs::path& p : {victim_home.path(), work, work / "present"}) {
    ASSERT_EQ(::chown(p.c_str(), VICTIM_UID, VICTIM_GID), 0) << p;
  }
  ASSERT_EQ(::chmod(victim_home.path().c_str(), 0700), 0);
  auto victim = Process::start(
      {.argv = {"/bin/sleep", "60"}, .cwd = work, .user = Process::User{VICTIM_UID, VICTIM_GID}});
  ASSERT_OK(victim);
  const fs::path cwd = fs::path("/proc") / std::to_string(victim->pid()) / "cwd";
  for (const char* name : {"present", "absent"}) {
    SCOPED_TRACE(name);
    const fs::path dir = cwd / name / ".nimbletrace";
    EXPECT_EQ(attack(client_, "attacker_send",
                     {start_core_line(dir, dir / "config.yaml", sha256_of(""))}),
              "answer:" +
                  refused_with("解析 macOS 服务核心配置目录失败: Permission denied (os error 13)"));
  }
  expect_nothing_done();
}

// A service started under umask 000 creates runtime/ while a start is under
// way. Caught in that instant (the preloaded shim holds the service right
// after the mkdir), a directory 0777 even for a moment let anyone plant
// config.yaml.tmp as a directory and break every later start.
TEST_F(UnprivilegedAttackTest, RuntimeDirectoryIsNeverOpenToOthersEvenUnderAnOpenUmask) {
  const SandboxPaths p = sandbox_paths();
  TempDir shim_dir;
  ServiceProcess::Options options = ServiceProcess::Options::privileged();
  options.extra_env = xnu_shim_env(shim_dir.path());
  options.extra_env.push_back("NIMBLETRACE_SHIM_PAUSE_AFTER=" + p.runtime_dir.string());
  const mode_t previous = ::umask(0);
  start_service(options);
  ::umask(previous);

  const fs::path own_dir = config_dir_of(home_.path(), ATTACKER_UID, ATTACKER_GID, "own: 1\n");
  std::string answer;
  std::thread starter([&] {
    answer = attack(client_, "attacker_send",
                    {start_core_line(own_dir, own_dir / "config.yaml", sha256_of("own: 1\n"))});
  });
  const bool paused = eventually([&] { return fs::exists(shim_dir / "paused"); });
  const std::string planted =
      paused ? attack(client_, "attacker_mkdir", {(p.runtime_dir / "config.yaml.tmp").string()})
             : "";
  write_file(shim_dir / "resume", "");
  starter.join();
  ASSERT_TRUE(paused);
  EXPECT_EQ(planted, "mkdir:" + std::string(std::strerror(EACCES)));
  EXPECT_EQ(answer, "answer:" + STARTED);
  EXPECT_EQ(mode_of(p.runtime_dir), S_IFDIR | 0700u);
}

// A component of the path swapped for a link to a root-only directory
// between the check of the path and the read: whichever way each try goes,
// the secret is never read, staged or run.
TEST_F(UnprivilegedAttackTest, ComponentSwappedForALinkNeverReadsARootOnlyFile) {
  const std::string secret = "root-only: 5e2a\n";
  TempDir root_only;
  const fs::path secret_dir = root_only / "h" / ".nimbletrace";
  fs::create_directories(secret_dir);
  write_file(secret_dir / "config.yaml", secret);
  ASSERT_EQ(::chmod(root_only.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod((secret_dir / "config.yaml").c_str(), 0600), 0);

  const fs::path real = home_ / "h";
  const fs::path parked = home_ / "parked";
  fs::create_directories(real);
  ASSERT_EQ(::chown(real.c_str(), ATTACKER_UID, ATTACKER_GID), 0);
  config_dir_of(real, ATTACKER_UID, ATTACKER_GID, "own: 1\n");
  const fs::path dir = real / ".nimbletrace";
  const std::string line = start_core_line(dir, dir / "config.yaml", sha256_of(secret));

  std::atomic<bool> done{false};
  std::thread swapper([&] {
    while (!done.load()) {
      std::error_code ec;
      fs::rename(real, parked, ec);
      fs::create_directory_symlink(root_only / "h", real, ec);
      std::this_thread::yield();
      fs::remove(real, ec);
      fs::rename(parked, real, ec);
      std::this_thread::yield();
    }
  });
  std::vector<std::string> answers;
  for (int i = 0; i < 40; ++i) answers.push_back(attack(client_, "attacker_send", {line}));
  done.store(true);
  swapper.join();
  for (const std::string& answer : answers) {
    EXPECT_TRUE(answer.starts_with(R"(answer:{"ok":false,)")) << answer;
    EXPECT_EQ(answer.find("5e2a"), std::string::npos) << answer;
  }
  expect_nothing_done();
}

// A 50 GiB sparse configuration with a plausible digest: refused before the
// service allocates for it, and the service goes on serving.
TEST_F(UnprivilegedAttackTest, HugeSparseConfigurationIsRefusedWithoutGrowingTheService) {
  const fs::path dir = config_dir_of(home_.path(), ATTACKER_UID, ATTACKER_GID, "");
  ASSERT_EQ(::truncate((dir / "config.yaml").c_str(), off_t{50} << 30), 0);
  const std::string line = start_core_line(dir, dir / "config.yaml", std::string(64, 'a'));
  const std::string too_large =
      "answer:" + refused_with("读取 macOS 服务核心配置失败: File too large (os error 27)");

  ASSERT_EQ(attack(client_, "attacker_send", {line}), too_large);
  const long before = status_kib(service_->pid(), "VmRSS");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(attack(client_, "attacker_send", {line}), too_large);
  const long after = status_kib(service_->pid(), "VmRSS");
  ASSERT_GT(before, 0);
  EXPECT_LT(after - before, 1024) << "resident KiB before " << before << ", after " << after;
  expect_nothing_done();
}

// The authorized client may write its request in any number of pieces,
// before the service has looked at it or after, from any of its threads:
// every piece is the verified process's.
TEST_F(UnprivilegedAttackTest, AuthorizedClientIsServedHoweverItWritesItsRequest) {
  expect_served_however_the_client_writes();
}

void UnprivilegedAttackTest::expect_served_however_the_client_writes() {
  struct Case {
    std::string name;
    std::string how;
    bool before_the_check;
  };
  const Case cases[] = {
      {"in one piece, before the check", "whole", true},
      {"byte by byte, while the check runs and after it", "bytes", false},
      {"from a second thread of the client", "thread", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path marker = home_ / ("sent-" + c.how);
    const auto run = [&] {
      return attack(client_, "send_request_as",
                    {std::string(PING_LINE), c.how, c.before_the_check ? marker.string() : "-"});
    };
    const std::string output =
        c.before_the_check ? attack_while_stopped(run, [&] { return fs::exists(marker); }) : run();
    EXPECT_EQ(output, "answer:" + PONG_STOPPED);
  }
}

// Connect, fork, and exec the authorized client in the connecting process,
// whose check (delayed by a busy service) then finds the authorized client,
// while the forked child, still the attacker's program, writes the request.
TEST_F(UnprivilegedAttackTest, RequestWrittenByAChildOfTheConnectorIsRefused) {
  const fs::path copy = attacker_copy(home_ / "bin");
  const fs::path marker = home_ / "exec-done";
  // A start on the attacker's own, readable configuration: served, it would
  // leave a runtime directory and a core behind.
  const std::string contents = "listen: 127.0.0.1\n";
  const fs::path dir = config_dir_of(home_.path(), ATTACKER_UID, ATTACKER_GID, contents);
  const std::string line = start_core_line(dir, dir / "config.yaml", sha256_of(contents));
  const std::string output = attack_while_stopped(
      [&] { return attack(copy, "connect_then_exec", {line, client_.string(), marker.string()}); },
      [&] { return fs::exists(marker); });
  expect_refusal_naming(output, copy);
  expect_nothing_done();
}

// The authorized client connects and hands the connection to an unrelated
// process of the attacker's, which writes the request.
TEST_F(UnprivilegedAttackTest, RequestWrittenByAProcessTheConnectionWasPassedToIsRefused) {
  const fs::path copy = attacker_copy(home_ / "bin");
  const std::string output =
      attack(copy, "descriptor_passing_attack", {std::string(STOP_LINE), client_.string()});
  expect_refusal_naming(output, copy);
  expect_nothing_done();
}

// Before Linux 6.5 (replayed: the preloaded shim refuses SO_PEERPIDFD as
// those kernels refuse an option they do not know) the socket names its peer
// by id alone. The authorized client connects, passes the check, hands its
// connection to the attacker and is reaped; a process of the attacker's that
// is given the same id then writes stop_core on that connection. The test
// stands in for the attacker only in what takes no privilege (holding the
// connection, reaping the client) and, as root, steers the next process id
// instead of letting the attacker fork until the id comes round.
TEST_F(UnprivilegedAttackTest, RequestWrittenUnderTheIdOfAReapedClientIsRefusedWithoutPeerPidfd) {
  TempDir shim_dir;
  ServiceProcess::Options options = ServiceProcess::Options::privileged();
  options.extra_env = xnu_shim_env(shim_dir.path());
  options.extra_env.push_back("NIMBLETRACE_SHIM_NO_PEERPIDFD=1");
  start_service(options);
  const fs::path own_dir = config_dir_of(home_.path(), ATTACKER_UID, ATTACKER_GID, "own: 1\n");
  ASSERT_EQ(attack(client_, "attacker_send",
                   {start_core_line(own_dir, own_dir / "config.yaml", sha256_of("own: 1\n"))}),
            "answer:" + STARTED);
  const std::vector<pid_t> cores = running_cores();
  ASSERT_EQ(cores.size(), 1u);
  const fs::path copy = attacker_copy(home_ / "bin");

  int pair[2] = {-1, -1};
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  const UniqueFd channel(pair[0]);
  UniqueFd client_end(pair[1]);
  auto client =
      Process::start({.argv = {client_.string(), "--nt-helper", "connect_checked_and_hand_over",
                               sandbox_paths().socket.string(), std::to_string(client_end.get())},
                      .user = Process::User{ATTACKER_UID, ATTACKER_GID},
                      .inherited_fds = {client_end.get()}});
  ASSERT_OK(client);
  client_end.reset();
  ASSERT_TRUE(wait_for_events(channel.get(), POLLIN, deadline_after(WAIT_LIMIT)));
  UniqueFd connection = receive_descriptor(channel.get());
  ASSERT_TRUE(connection);
  ASSERT_TRUE(exited_cleanly(client->wait_exit()));
  const pid_t id = client->pid();

  std::string output;
  for (int attempt = 0; attempt < 10 && output.empty(); ++attempt) {
    // Another process on the machine may take the id between the write
    // and the spawn; then the next try steers again while the id is free.
    if (!write_text("/proc/sys/kernel/ns_last_pid", std::to_string(id - 1))) {
      GTEST_SKIP() << "the next process id cannot be steered here";
    }
    auto [status, text] = run_program(
        {.argv = {copy.string(), "--nt-helper", "write_under_id", std::to_string(connection.get()),
                  std::to_string(id), std::string(STOP_LINE)},
         .user = Process::User{ATTACKER_UID, ATTACKER_GID},
         .inherited_fds = {connection.get()}},
        ATTACK_LIMIT);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
      output = text;
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != MISSED_ID) {
      FAIL() << "write_under_id: wait status " << status << ", output: " << text;
    } else if (!process_collected(id)) {
      GTEST_SKIP() << "another process took id " << id << " first";
    }
  }
  connection.reset();
  ASSERT_FALSE(output.empty()) << "no process got id " << id;
  expect_refusal_naming(output, copy);
  EXPECT_EQ(running_cores(), cores);
  EXPECT_EQ(attack(client_, "attacker_send", {std::string(PING_LINE)}),
            "answer:" + response_line(true, "service runner pong", "Running"));
}

// The thread that resolves a start's paths with the requester's rights is a
// thread of the service, so the service's own /proc entries stay open to it
// (and /proc/self, /proc/thread-self lead there): /proc/<service>/fdinfo/N
// is a file where the service holds N and absent where it does not, and a
// walk through /proc/<service>/task/<tid>/.. goes on only where the thread
// exists. Whichever way it is reached, a path into /proc gets one answer.
TEST_F(UnprivilegedAttackTest, TheServicesOwnProcEntriesTellNothingOfWhatItHolds) {
  const std::string pid = std::to_string(service_->pid());
  const std::set<int> held = open_descriptors(service_->pid());
  ASSERT_FALSE(held.empty());
  const std::string present = std::to_string(*held.rbegin());
  const std::string absent = std::to_string(*held.rbegin() + 100);
  ASSERT_EQ(held.count(*held.rbegin() + 100), 0u);
  const fs::path own_dir = config_dir_of(home_.path(), ATTACKER_UID, ATTACKER_GID, "own: 1\n");
  const fs::path link = home_ / "fdinfo";
  fs::create_directory_symlink("/proc/" + pid + "/fdinfo", link);
  const std::string denied_dir =
      refused_with("解析 macOS 服务核心配置目录失败: Permission denied (os error 13)");
  const std::string denied_file =
      refused_with("解析 macOS 服务核心配置文件失败: Permission denied (os error 13)");

  struct Case {
    std::string name;
    std::function<std::string(const std::string&)> line;
    std::string held;
    std::string not_held;
    std::string expected;
  };
  const auto dir_in = [](const std::string& prefix) {
    return [prefix](const std::string& n) {
      const fs::path dir = prefix + n + "/.nimbletrace";
      return start_core_line(dir, dir / "config.yaml", sha256_of("own: 1\n"));
    };
  };
  const Case cases[] = {
      {"the service's fdinfo by its id", dir_in("/proc/" + pid + "/fdinfo/"), present, absent,
       denied_dir},
      {"its fdinfo through /proc/self", dir_in("/proc/self/fdinfo/"), present, absent, denied_dir},
      {"its fdinfo through /proc/thread-self", dir_in("/proc/thread-self/fdinfo/"), present, absent,
       denied_dir},
      {"its fdinfo through a link of the attacker's", dir_in(link.string() + "/"), present, absent,
       denied_dir},
      {"the configuration file in its fdinfo",
       [&](const std::string& n) {
         return start_core_line(own_dir, "/proc/" + pid + "/fdinfo/" + n + "/config.yaml",
                                sha256_of("own: 1\n"));
       },
       present, absent, denied_file},
      {"out again through a thread of the service",
       [&](const std::string& tid) {
         const fs::path dir = "/proc/" + pid + "/task/" + tid + "/../../../.." + own_dir.string();
         return start_core_line(dir, own_dir / "config.yaml", sha256_of("own: 1\n"));
       },
       pid, "999999999", denied_dir},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(attack(client_, "attacker_send", {c.line(c.held)}), "answer:" + c.expected);
    EXPECT_EQ(attack(client_, "attacker_send", {c.line(c.not_held)}), "answer:" + c.expected);
  }
  expect_nothing_done();
}

// In a user namespace of its own an unprivileged user may make the kernel
// name any file it can open as its executable, inode and all.
TEST_F(UnprivilegedAttackTest, ExecutableSwappedInsideAUserNamespaceIsRefused) {
  const fs::path copy = attacker_copy(home_ / "bin");
  const std::string output =
      attack(copy, "exe_masquerade_attack", {std::string(PING_LINE), client_.string()});
  if (!skipped_.empty()) GTEST_SKIP() << skipped_;
  // The masquerade works: the kernel names the authorized client.
  ASSERT_TRUE(output.starts_with("exe:" + client_.string() + "\n")) << output;
  expect_refusal_naming(output.substr(output.find("answer:")), client_);
  expect_nothing_done();
}

// A TCP socket with unsent data and an hour of SO_LINGER, sent to the
// service and let go by its sender: had the service's thread dropped the last
// reference, it would sit in the TCP close for that hour. Where the kernel
// can refuse descriptors the sender's sendmsg fails; elsewhere the service
// takes care never to drop the last reference itself.
TEST_F(UnprivilegedAttackTest, DescriptorSentToTheServiceCannotFreezeIt) {
  const fs::path copy = attacker_copy(home_ / "bin");
  // Outlives the attack: its end of the TCP connection must stay open while
  // the service holds the socket that was sent.
  std::optional<Process> attacker;
  std::atomic<bool> attacked{false};
  // Stopped, so the descriptor is queued before the service accepts; a
  // connection the service had already refused and closed would fail the
  // send with EPIPE whatever the kernel's rule on descriptors.
  const std::string sent = attack_while_stopped(
      [&] {
        auto started =
            Process::start({.argv = {copy.string(), "--nt-helper", "lingering_descriptor_attack",
                                     sandbox_paths().socket.string(), std::string(PING_LINE), "1"},
                            .capture_stdout = true,
                            .user = Process::User{ATTACKER_UID, ATTACKER_GID}});
        std::string output = started ? "" : "cannot start the attacker: " + started.error();
        if (started) {
          attacker.emplace(std::move(*started));
          (void)eventually([&] { return attacker->stdout_text().ends_with("\n"); },
                           SLOW_WAIT_LIMIT);
          output = attacker->stdout_text();
        }
        attacked.store(true);
        return output;
      },
      [&] { return attacked.load(); });
  UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  app_lib::platform::guard_unix_listener(probe.get());
  if (app_lib::platform::refuses_descriptors(probe.get())) {
    EXPECT_EQ(sent, "sendmsg:" + std::string(std::strerror(EPERM)) + "\n");
  } else {
    EXPECT_EQ(sent, "sendmsg:ok\n");
  }
  // The next client is answered at once (this test is not the authorized
  // client, so the answer is a refusal; a frozen service gives none).
  const std::string next = exchange_with(sandbox_paths().socket, PING_LINE);
  EXPECT_TRUE(next.starts_with(REFUSAL_HEAD)) << next;
  EXPECT_TRUE(next.ends_with(UNAVAILABLE_END)) << next;
}

// Where descriptors pass (kernels before 6.16, here turned back on for the
// listener), a request that carries one is refused without the descriptor
// entering the reading process, and dropping the connection does not wait
// for what is still in flight.
TEST_F(UnprivilegedAttackTest, WhereDescriptorsPassNoneIsReleasedByTheServingThread) {
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  const fs::path socket = dir / "s.sock";
  auto listener = ServiceTransport::unix_socket(socket).bind_listener();
  ASSERT_OK(listener);
  const int on = 1;
  constexpr int SO_PASSRIGHTS_OPTION = 83;
  if (::setsockopt(listener->native_handle(), SOL_SOCKET, SO_PASSRIGHTS_OPTION, &on, sizeof on) !=
      0) {
    GTEST_SKIP() << "descriptors always pass on this kernel (no SO_PASSRIGHTS); the service test "
                    "covers it";
  }
  const fs::path copy = attacker_copy(home_ / "bin");
  std::optional<Process> attacker;
  {
    auto started =
        Process::start({.argv = {copy.string(), "--nt-helper", "lingering_descriptor_attack",
                                 socket.string(), std::string(PING_LINE), "1"},
                        .capture_stdout = true,
                        .user = Process::User{ATTACKER_UID, ATTACKER_GID}});
    ASSERT_OK(started);
    attacker.emplace(std::move(*started));
  }
  ASSERT_TRUE(eventually([&] { return attacker->stdout_text().ends_with("\n"); }));
  ASSERT_EQ(attacker->stdout_text(), "sendmsg:ok\n");
  app_lib::service_transport::ConnectionCloser closer(self_executable(),
                                                      {"--nt-helper", "connection_closer"});
  const std::set<int> descriptors_before = open_descriptors(::getpid());
  // The listener read its flag when it was bound; the connection carries the
  // one turned back on.
  UniqueFd accepted(::accept4(listener->native_handle(), nullptr, nullptr, SOCK_CLOEXEC));
  ASSERT_TRUE(accepted);
  ASSERT_FALSE(app_lib::platform::refuses_descriptors(accepted.get()));
  std::optional<ServiceTransportStream> stream;
  stream.emplace(app_lib::service_transport::ServiceTransportForm::Unix, std::move(accepted), true,
                 &closer);

  std::atomic<bool> done{false};
  std::string read_error;
  std::thread server([&] {
    auto request = stream->read_request();
    read_error = error_of(request);
    { auto dropped = std::move(*stream); }
    done.store(true);
  });
  const bool answered_at_once = eventually([&] { return done.load(); });
  // Killing the attacker resets the TCP connection, which ends any wait.
  attacker.reset();
  server.join();
  EXPECT_TRUE(answered_at_once) << "the serving thread waited on the in-flight socket";
  EXPECT_TRUE(read_error.starts_with("拒绝未授权的 macOS ServiceRunner 客户端(pid=")) << read_error;
  EXPECT_TRUE(read_error.ends_with(", path=" + fs::canonical(copy).string() + ")")) << read_error;
  // Nothing the attacker sent was installed here, and the connection is gone.
  EXPECT_EQ(open_descriptors(::getpid()), descriptors_before);
}

// The service of a kernel that passes descriptors (before Linux 6.16,
// replayed; XNU always), as a closer of connections.
class DescriptorsPassTest : public UnprivilegedAttackTest {
 protected:
  void SetUp() override {
    UnprivilegedAttackTest::SetUp();
    if (IsSkipped()) return;
    ServiceProcess::Options options = ServiceProcess::Options::privileged();
    options.extra_env = xnu_shim_env(shim_dir_.path());
    options.extra_env.push_back("NIMBLETRACE_SHIM_NO_PASSRIGHTS=1");
    service_.reset();
    start_service(options);
    // The closer is started just after the socket listens, so a test that
    // counts helpers waits for it.
    ASSERT_TRUE(eventually([&] { return live_helpers().size() == 1; }));
  }

  // Runs `helper` of an attacker's copy of this binary (socket, request line,
  // then `args`) while the service is stopped, so that every connection it
  // makes, and what each carries, is queued before the service looks at
  // any; `started` runs as soon as the attacker exists. The attacker is
  // returned alive, its last line told how its sends went.
  std::optional<Process> flood_queued(const std::string& helper, std::vector<std::string> args,
                                      const std::function<void(pid_t)>& started = {}) {
    const fs::path copy = attacker_copy(home_ / "bin");
    std::vector<std::string> argv{copy.string(), "--nt-helper", helper,
                                  sandbox_paths().socket.string(), std::string(PING_LINE)};
    argv.insert(argv.end(), args.begin(), args.end());
    std::optional<Process> attacker;
    std::atomic<bool> flooded{false};
    (void)attack_while_stopped(
        [&] {
          auto process = Process::start({.argv = argv,
                                         .capture_stdout = true,
                                         .user = Process::User{ATTACKER_UID, ATTACKER_GID}});
          EXPECT_TRUE(process.has_value()) << error_of(process);
          if (process) {
            attacker.emplace(std::move(*process));
            if (started) started(attacker->pid());
            EXPECT_TRUE(eventually(
                [&] { return attacker->stdout_text().find("sendmsg:") != std::string::npos; },
                SLOW_WAIT_LIMIT));
            (void)eventually([&] { return attacker->stdout_text().ends_with("\n"); });
          }
          flooded.store(true);
          return std::string();
        },
        [&] { return flooded.load(); });
    return attacker;
  }

  // One exchange of this (unauthorized) process's, read to its line feed
  // only: whether the connection has been closed is another matter.
  std::string answer_to_ping(UniqueFd* keep = nullptr) {
    UniqueFd connection = connect_raw(service_->endpoint());
    send_raw(connection.get(), PING_LINE);
    std::string line = receive_line(connection.get());
    if (keep != nullptr) *keep = std::move(connection);
    return line;
  }

  std::vector<pid_t> live_helpers() {
    std::vector<pid_t> alive;
    for (const pid_t pid : children_of(service_->pid())) {
      if (process_alive(pid)) alive.push_back(pid);
    }
    return alive;
  }

  static std::vector<pid_t> children_of(pid_t parent) {
    std::vector<pid_t> children;
    for (const pid_t pid : process_ids()) {
      const auto stat = proc_stat(pid);
      if (stat && stat->parent == parent) children.push_back(pid);
    }
    return children;
  }

  TempDir shim_dir_;
};

// Each connection closed by a process of its own (a fork per exchange) cost
// the machine a root process per connection, for as long as its sender
// liked on XNU. 300 connections, each carrying a socket that would linger
// for an hour: one helper process closes them all, and meanwhile the victim
// is answered. Orphaned throwaway processes would come to this test, made
// their reaper.
TEST_F(DescriptorsPassTest, LingeringSocketsOverManyConnectionsCostOneHelperProcess) {
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  const int orphans_before = zombie_children(::getpid());
  auto attacker = flood_queued("lingering_descriptor_attack", {"300"});
  ASSERT_TRUE(attacker);
  EXPECT_EQ(attacker->stdout_text(), "sendmsg:ok\n");
  EXPECT_EQ(attack(client_, "attacker_send", {std::string(PING_LINE)}), "answer:" + PONG_STOPPED);
  const std::vector<pid_t> helpers = children_of(service_->pid());
  EXPECT_EQ(helpers.size(), 1u);
  const int orphans = zombie_children(::getpid()) - orphans_before;
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);
  for (const pid_t pid : children_of(::getpid())) {
    if (process_zombie(pid) && pid != service_->pid()) ::waitpid(pid, nullptr, WNOHANG);
  }
  EXPECT_EQ(orphans, 0) << "processes the service made and let go";
}

// A service that made a process per connection, and closed in its own
// thread when it could not, lingered as soon as an attacker held every task
// their shared limit allows. In a pids cgroup shared with the service and
// its helper, an attacker that holds every task left floods it: the victim,
// outside, is still answered.
TEST_F(DescriptorsPassTest, AttackerHoldingEveryTaskCannotMakeTheLoopLinger) {
  const fs::path pids_root = "/sys/fs/cgroup/pids";
  const fs::path group = pids_root / ("nimbletrace-test-" + std::to_string(::getpid()));
  std::error_code ec;
  if (!fs::create_directory(group, ec)) {
    GTEST_SKIP() << "no pids cgroup to share with the service here: " << group << ": "
                 << ec.message();
  }
  const auto move_into = [](const fs::path& dir, pid_t pid) {
    std::ofstream(dir / "cgroup.procs") << pid << "\n";
  };
  move_into(group, service_->pid());
  for (const pid_t child : children_of(service_->pid())) move_into(group, child);
  std::ofstream(group / "pids.max") << 64 << "\n";
  auto attacker = flood_queued("every_task_then_lingering_flood",
                               {"50", "/" + group.filename().string()},
                               [&](pid_t pid) { move_into(group, pid); });
  ASSERT_TRUE(attacker);
  const bool flooded = attacker->stdout_text().ends_with("sendmsg:ok\n");
  const std::string answer = attack(client_, "attacker_send", {std::string(PING_LINE)});
  const std::string output = attacker->stdout_text();
  attacker.reset();
  // Every task goes back, so that the group can be removed.
  std::ifstream procs(group / "cgroup.procs");
  for (pid_t pid = 0; procs >> pid;) move_into(pids_root, pid);
  EXPECT_TRUE(eventually([&] { return fs::remove(group, ec); }));
  ASSERT_TRUE(flooded) << output;
  EXPECT_EQ(answer, "answer:" + PONG_STOPPED);
}

// A helper that takes nothing (here: stopped) fills its channel; the service
// then holds what it cannot hand over, up to its limit, and stops accepting
// rather than close anything itself, saying so once. The client waiting
// meanwhile is answered as soon as the helper takes again.
TEST_F(DescriptorsPassTest, ServiceStopsAcceptingWhileItsHelperTakesNothing) {
  const std::vector<pid_t> helpers = live_helpers();
  ASSERT_EQ(helpers.size(), 1u);
  ASSERT_EQ(::kill(helpers.front(), SIGSTOP), 0);
  ASSERT_TRUE(eventually([&] {
    const auto stat = proc_stat(helpers.front());
    return stat && stat->state == 'T';
  }));
  constexpr std::string_view PAUSED = "accepting paused";
  // Pings until the service says it paused. The ping made as it pauses may
  // wait unaccepted: it is the client that waits meanwhile.
  bool paused = false;
  UniqueFd waiting;
  for (int i = 0; i < 10000 && !paused; ++i) {
    UniqueFd connection = connect_raw(service_->endpoint());
    send_raw(connection.get(), PING_LINE);
    bool answered = false;
    ASSERT_TRUE(eventually([&] {
      pollfd readable{connection.get(), POLLIN, 0};
      answered = ::poll(&readable, 1, 0) == 1;
      paused = service_->stderr_text().find(PAUSED) != std::string::npos;
      return answered || paused;
    })) << "exchange " << i << " neither answered nor paused";
    if (answered) {
      const std::string line = receive_line(connection.get());
      ASSERT_TRUE(line.starts_with(REFUSAL_HEAD)) << "exchange " << i << ": " << line;
    } else {
      waiting = std::move(connection);
    }
  }
  ASSERT_TRUE(paused) << service_->stderr_text();
  if (!waiting) {
    waiting = connect_raw(service_->endpoint());
    send_raw(waiting.get(), PING_LINE);
  }
  ::kill(helpers.front(), SIGCONT);
  const std::string late = receive_line(waiting.get());
  EXPECT_TRUE(late.starts_with(REFUSAL_HEAD)) << late;
  const std::string said = service_->stderr_text();
  EXPECT_EQ(said.find(PAUSED), said.rfind(PAUSED)) << said;
  EXPECT_EQ(live_helpers(), helpers);
}

// A helper that dies is started again and collected, without a connection
// having to find it gone; and what the service held while no helper ran is
// taken by the successor: once that one has shut the connection's reading
// side, the client's writes fail.
TEST_F(DescriptorsPassTest, HelperThatDiesIsReplacedAndWhatWasHeldIsClosed) {
  const std::vector<pid_t> first = live_helpers();
  ASSERT_EQ(first.size(), 1u);
  ASSERT_EQ(::kill(first.front(), SIGKILL), 0);
  pid_t second = -1;
  ASSERT_TRUE(eventually([&] {
    const auto now = live_helpers();
    if (now.size() != 1 || now.front() == first.front() || !process_collected(first.front())) {
      return false;
    }
    second = now.front();
    return true;
  })) << "a dead helper is replaced and collected only once a connection finds it gone";
  // The successor dies within the restart interval, so a connection that
  // ends meanwhile is held. The first thread of a killed helper turns
  // zombie while the others may still hold the channel open, so the ping
  // waits until no thread is left.
  ASSERT_EQ(::kill(second, SIGKILL), 0);
  const fs::path tasks = "/proc/" + std::to_string(second) + "/task";
  ASSERT_TRUE(eventually([&] {
    std::error_code ec;
    const auto threads = std::distance(fs::directory_iterator(tasks, ec), fs::directory_iterator());
    return !process_alive(second) && threads <= 1;
  }));
  UniqueFd held;
  EXPECT_TRUE(answer_to_ping(&held).starts_with(REFUSAL_HEAD));
  EXPECT_TRUE(eventually([&] {
    const auto now = live_helpers();
    return now.size() == 1 && now.front() != second;
  }));
  EXPECT_TRUE(eventually([&] {
    return ::send(held.get(), "x", 1, MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno == EPIPE;
  })) << "the connection held while no helper ran was never let go";
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(answer_to_ping().starts_with(REFUSAL_HEAD));
}

// Closing the listener closes the connections still queued on it, and with
// them what they carry. Shut down with 500 such connections queued (more
// than the loop could take before it sees the stop flag), the service ends
// while the attacker still holds on.
TEST_F(DescriptorsPassTest, ShutdownWithLingeringSocketsQueuedEndsAtOnce) {
  service_->signal(SIGSTOP);
  ASSERT_TRUE(eventually([&] {
    const auto stat = proc_stat(service_->pid());
    return stat && stat->state == 'T';
  }));
  const fs::path copy = attacker_copy(home_ / "bin");
  auto attacker = Process::start({.argv = {copy.string(), "--nt-helper",
                                           "lingering_descriptor_attack",
                                           sandbox_paths().socket.string(),
                                           std::string(PING_LINE), "500"},
                                  .capture_stdout = true,
                                  .user = Process::User{ATTACKER_UID, ATTACKER_GID}});
  const bool sent = attacker && eventually([&] { return attacker->stdout_text().ends_with("\n"); },
                                           SLOW_WAIT_LIMIT);
  service_->signal(SIGTERM);
  service_->signal(SIGCONT);
  ASSERT_TRUE(sent);
  EXPECT_EQ(attacker->stdout_text(), "sendmsg:ok\n");
  const auto status = service_->wait_exit();
  ASSERT_TRUE(status.has_value()) << "the service waited on what the attacker sent";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
}


// A client installed set-group-ID to a group nobody holds: connections are
// bound to that group, which only the client itself, exec'd untraced, has.

// Prints "egid:" and this process's effective gid.
NIMBLETRACE_TEST_HELPER(report_egid) {
  std::printf("egid:%u\n", static_cast<unsigned>(::getegid()));
  return 0;
}

// argv: connection descriptor, marker, line or "-". Run as the authorized
// client by a process that connected before its exec: writes the marker,
// sends `line` unless it is "-", and prints "answer:" and what came back.
NIMBLETRACE_TEST_HELPER(answer_on_descriptor) {
  if (argc != 3) return 2;
  const int connection = std::stoi(argv[0]);
  write_file(argv[1], "exec done\n");
  if (std::string_view(argv[2]) != "-") (void)send_raw(connection, argv[2]);
  std::printf("answer:%s", receive_until_eof(connection).c_str());
  return 0;
}

// argv: socket, line, authorized client, marker, when ("before", "after",
// "child"). Connects as the attacker's program and execs the authorized
// client in the connecting process; `line` is sent before the exec, by the
// client after it, or after it by a child forked before it.
NIMBLETRACE_TEST_HELPER(connect_then_become_client) {
  if (argc != 5) return 2;
  const UniqueFd fd = connect_raw(ServiceTransport::unix_socket(argv[0]));
  if (!fd || ::fcntl(fd.get(), F_SETFD, 0) != 0) return 3;
  const std::string_view when = argv[4];
  if (when == "before" && !send_raw(fd.get(), argv[1])) return 4;
  if (when == "child") {
    const pid_t child = ::fork();
    if (child < 0) return 6;
    if (child == 0) {
      const bool exec_done = eventually([&] { return fs::exists(argv[3]); });
      ::_exit(exec_done && send_raw(fd.get(), argv[1]) ? 0 : 7);
    }
  }
  const std::string descriptor = std::to_string(fd.get());
  ::execl(argv[2], argv[2], "--nt-helper", "answer_on_descriptor", descriptor.c_str(), argv[3],
          when == "after" ? argv[1] : "-", nullptr);
  return 5;
}

// argv: socket, line, authorized client. Starts the authorized client under
// its own trace, as a debugger would, lets it run on from its exec and
// waits for it; the client sends `line` and prints the answer.
NIMBLETRACE_TEST_HELPER(traced_client) {
  if (argc != 3) return 2;
  std::fflush(stdout);
  const pid_t child = ::fork();
  if (child < 0) return 3;
  if (child == 0) {
    if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) {
      std::printf("ptrace is not allowed here: %s\n", std::strerror(errno));
      std::fflush(stdout);
      ::_exit(SKIPPED);
    }
    ::execl(argv[2], argv[2], "--nt-helper", "attacker_send", argv[0], argv[1], nullptr);
    ::_exit(4);
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child) return 5;
  if (WIFSTOPPED(status) && ::ptrace(PTRACE_DETACH, child, nullptr, nullptr) != 0) return 6;
  if (WIFSTOPPED(status) && ::waitpid(child, &status, 0) != child) return 7;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 8;
}

// argv: socket, line, authorized client. Execs the authorized client with
// no_new_privs and the shim preloaded. Without no_new_privs the exec gives
// the group, is secure (AT_SECURE) and the loader ignores LD_PRELOAD
// (ld.so(8)); with it the loader honours the preload, and the kernel gives
// no group (fs/exec.c, bprm_fill_uid returns before it looks at the bit;
// Linux 6.1 and 6.12).
NIMBLETRACE_TEST_HELPER(preloaded_client_attack) {
  if (argc != 3) return 2;
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return 3;
  for (const std::string& entry : xnu_shim_env(fs::path(text_of_own_executable()).parent_path())) {
    const auto equals = entry.find('=');
    ::setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
  }
  ::execl(argv[2], argv[2], "--nt-helper", "send_preloaded", argv[0], argv[1], nullptr);
  return 4;
}

// argv: socket, line. Prints "preloaded:" and whether the shim answers here
// (mkdir("/") fails with EISDIR only through it), then sends `line` and
// prints "answer:" and what came back.
NIMBLETRACE_TEST_HELPER(send_preloaded) {
  if (argc != 2) return 2;
  const bool preloaded = ::mkdir("/", 0755) != 0 && errno == EISDIR;
  std::printf("preloaded:%s\nanswer:%s", preloaded ? "yes" : "no",
              exchange_with(argv[0], argv[1]).c_str());
  return 0;
}

// argv: socket, line, authorized client. A child sharing this process's
// memory (CLONE_VM), holding every capability in a user namespace of its
// own, points the shared executable link at the authorized client and
// exits: the kernel asks for the capability in the caller's namespace only
// (kernel/sys.c, prctl_set_mm_map). This process, which never left the
// service's namespace nor exec'd, then sends `line`.
NIMBLETRACE_TEST_HELPER(clone_vm_masquerade_attack) {
  if (argc != 3) return 2;
#if defined(__SANITIZE_THREAD__)
  // The child would run on this process's sanitizer state without being a
  // thread the sanitizer knows: it crashes, and takes the parent with it.
  std::printf("a CLONE_VM child cannot run under ThreadSanitizer\n");
  return SKIPPED;
#endif
  const UniqueFd exe(::open(argv[2], O_RDONLY | O_CLOEXEC));
  std::vector<char> stack(std::size_t{1} << 16);
  if (!exe || !detach_from_own_image()) return 3;
  auto map = current_mm_map(exe.get());
  if (!map) return 4;
  const auto point_link = [](void* m) -> int {
    return ::prctl(PR_SET_MM, PR_SET_MM_MAP, m, sizeof(prctl_mm_map), 0) == 0 ? 0 : errno;
  };
  const int child =
      ::clone(point_link, stack.data() + stack.size(), CLONE_VM | CLONE_NEWUSER | SIGCHLD, &*map);
  if (child < 0) {
    std::printf("unprivileged user namespaces are not available here: %s\n", std::strerror(errno));
    return SKIPPED;
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return 5;
  if (WEXITSTATUS(status) != 0) {
    std::printf("prctl(PR_SET_MM_MAP) with exe_fd is not available here: %s\n",
                std::strerror(WEXITSTATUS(status)));
    return SKIPPED;
  }
  std::printf("exe:%s\nanswer:%s", text_of_own_executable().c_str(),
              exchange_with(argv[0], argv[1]).c_str());
  return 0;
}

constexpr std::string_view NOT_BOUND_HEAD =
    "nimbletrace-service: the authorized client is set-group-ID to group ";

std::size_t count_of(const std::string& text, std::string_view part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class SetGroupIdClientTest : public UnprivilegedAttackTest {
 protected:
  void SetUp() override {
    UnprivilegedAttackTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    const auto free_group = group_nobody_holds();
    if (!free_group) GTEST_SKIP() << "every gid from 47000 to 47999 is in the user database";
    group_ = *free_group;
    struct statvfs mount {};
    ASSERT_EQ(::statvfs(client_.c_str(), &mount), 0);
    if ((mount.f_flag & ST_NOSUID) != 0) {
      GTEST_SKIP() << "the sandbox root " << sandbox_paths().root << " is on a nosuid mount";
    }
    install_client(group_);
    // The kernel, not the mode, is what counts: exec must give the group.
    const std::string egid = attack(client_, "report_egid", {});
    if (egid != "egid:" + std::to_string(group_) + "\n") {
      GTEST_SKIP() << "exec does not give a set-group-ID file's group here: " << egid;
    }
  }

  // The authorized client, root's, set-group-ID to `group`.
  void install_client(gid_t group) {
    ASSERT_EQ(::chown(client_.c_str(), 0, group), 0);
    ASSERT_EQ(::chmod(client_.c_str(), 02755), 0);
  }

  // The attacker connects from its own program and the connecting process
  // then becomes the authorized client, while the service is busy (stopped)
  // until the exec is done; `when` says who sends the request.
  std::string connect_then_become_client(const std::string& when) {
    const fs::path copy = attacker_copy(home_ / ("bin-" + when));
    const fs::path marker = home_ / ("exec-done-" + when);
    return attack_while_stopped(
        [&] {
          return attack(copy, "connect_then_become_client",
                        {std::string(PING_LINE), client_.string(), marker.string(), when});
        },
        [&] { return fs::exists(marker); });
  }

  gid_t group_ = 0;
};

// The client's own connection carries the group whichever way it writes.
TEST_F(SetGroupIdClientTest, GenuineClientRunByAnyUserIsServedHoweverItWrites) {
  expect_served_however_the_client_writes();
  const fs::path own_dir = config_dir_of(home_.path(), ATTACKER_UID, ATTACKER_GID, "own: 1\n");
  EXPECT_EQ(attack(client_, "attacker_send",
                   {start_core_line(own_dir, own_dir / "config.yaml", sha256_of("own: 1\n"))}),
            "answer:" + STARTED);
  EXPECT_EQ(count_of(service_->stderr_text(), NOT_BOUND_HEAD), 0u) << service_->stderr_text();
}

// Every route by which the attacker's code writes on a connection that the
// rest of the check takes for the authorized client's: the group it was
// made with is the attacker's own in each. Linux keeps a process's id
// across exec; exec under a tracer that lacks CAP_SETUID gives no group
// (security/commoncap.c, cap_bprm_creds_from_file, LSM_UNSAFE_PTRACE;
// Linux 6.1 and 6.12), nor does a changed executable link. A connection the
// client itself made carries the group: handed on, it is refused for its
// writer, with or without the binding. Each row gives what its attacker
// shows before the answer (that its trick took) and the program the
// refusal names: the connector's at the check, the writer's after it.
TEST_F(SetGroupIdClientTest, AttackersRoutesToTheClientsGroupAreRefused) {
  const fs::path copy = attacker_copy(home_ / "bin");
  const auto helper = [&](const std::string& name) {
    return [&, name] { return attack(copy, name, {std::string(PING_LINE), client_.string()}); };
  };
  struct Case {
    std::string name;
    std::function<std::string()> run;
    std::string shown;
    fs::path named;
  };
  const Case cases[] = {
      {"request written, then the client exec'd",
       [&] { return connect_then_become_client("before"); }, "", client_},
      {"client exec'd on the attacker's connection, then writes",
       [&] { return connect_then_become_client("after"); }, "", client_},
      {"connector exec'd the client, a child it forked first writes",
       [&] { return connect_then_become_client("child"); }, "", client_},
      {"client started under the attacker's trace", helper("traced_client"), "", client_},
      {"client started with no_new_privs and a preload", helper("preloaded_client_attack"),
       "preloaded:yes\n", client_},
      {"executable link pointed at the client by a CLONE_VM child",
       helper("clone_vm_masquerade_attack"), "exe:" + client_.string() + "\n", client_},
      {"the client's own connection handed to the attacker, who writes",
       helper("descriptor_passing_attack"), "", copy},
  };
  std::string skipped;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    skipped_.clear();
    const std::string output = c.run();
    if (!skipped_.empty()) {
      skipped += c.name + ": " + skipped_;
      continue;
    }
    const std::size_t answer = std::min(output.find("answer:"), output.size());
    EXPECT_EQ(output.substr(0, answer), c.shown);
    expect_refusal_naming(output.substr(answer), c.named);
    expect_nothing_done();
  }
  if (!skipped.empty()) GTEST_SKIP() << skipped;
}

// A group some user holds could be any of that user's processes': the file
// binds nothing, the check is as for any client, and the service says so
// once, not per connection.
TEST_F(SetGroupIdClientTest, GroupAUserHoldsBindsNothingAndIsToldOnce) {
  install_client(ATTACKER_GID);
  EXPECT_EQ(connect_then_become_client("before"), "answer:" + PONG_STOPPED);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(attack(client_, "attacker_send", {std::string(PING_LINE)}), "answer:" + PONG_STOPPED);
  }
  const std::string told = service_->stderr_text();
  EXPECT_EQ(count_of(told, NOT_BOUND_HEAD), 1u) << told;
  EXPECT_NE(told.find(std::string(NOT_BOUND_HEAD) + std::to_string(ATTACKER_GID) + ", which user "),
            std::string::npos)
      << told;

  // A group that lists a member is held too; the new finding is told anew.
  if (const auto listed = group_with_a_member()) {
    install_client(listed->first);
    EXPECT_EQ(connect_then_become_client("after"), "answer:" + PONG_STOPPED);
    const std::string again = service_->stderr_text();
    EXPECT_EQ(count_of(again, NOT_BOUND_HEAD), 2u) << again;
    EXPECT_NE(again.find(std::to_string(listed->first) + ", which user " + listed->second +
                         " holds; connections are not bound to it\n"),
              std::string::npos)
        << again;
  }
}

}  // namespace
}  // namespace nimbletrace_test
