#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <functional>

#include "app_lib/platform/socket_flags.h"
#include "app_lib/service_transport/endpoint.h"
#include "app_lib/service_transport/transport.h"
#include "tests/support/test_support.h"

namespace nimbletrace_test {
namespace {

using app_lib::service_transport::resolve_tcp_endpoint;
using app_lib::service_transport::ServiceTransport;
using app_lib::service_transport::ServiceTransportForm;
namespace fs = std::filesystem;

bool is_socket_file(const fs::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

mode_t mode_of(const fs::path& path) {
  struct stat st {};
  ::lstat(path.c_str(), &st);
  return st.st_mode & 07777;
}

// Leaves a socket file behind the way a crashed service would.
void leave_stale_socket(const fs::path& path) {
  const app_lib::sys::UniqueFd fd(app_lib::platform::open_cloexec_socket(AF_UNIX, SOCK_STREAM, 0));
  const auto address = app_lib::service_transport::unix_socket_address(path);
  ASSERT_OK(address);
  ASSERT_EQ(::bind(fd.get(), address->get(), address->length), 0);
}

class ListenerTest : public testing::Test {
 protected:
  TempDir dir_;
};

struct UnixBindCase {
  const char* name;
  const char* socket_name;
  std::function<void(const fs::path& dir, const fs::path& socket)> prepare;
  const char* error_head;  // nullptr: the bind succeeds
};

TEST_F(ListenerTest, UnixBindHandlesWhatStandsAtThePath) {
  const UnixBindCase cases[] = {
      {"nothing there", "s.sock", [](auto&, auto&) {}, nullptr},
      {"missing parents", "a/b/s.sock", [](auto&, auto&) {}, nullptr},
      {"stale socket", "s.sock", [](auto&, auto& p) { leave_stale_socket(p); }, nullptr},
      {"regular file", "s.sock", [](auto&, auto& p) { write_file(p, "old"); }, nullptr},
      {"link to a file", "s.sock",
       [](auto& d, auto& p) {
         write_file(d / "target", "x");
         fs::create_symlink(d / "target", p);
       },
       nullptr},
      {"directory", "s.sock", [](auto&, auto& p) { fs::create_directory(p); },
       "清理旧 Service Unix Socket 失败("},
      // A dangling link looks like nothing to stat, so it stays and is in the way.
      {"dangling link", "s.sock", [](auto& d, auto& p) { fs::create_symlink(d / "gone", p); },
       "绑定 Service Unix Socket 失败("},
      {"parent is a file", "f/s.sock", [](auto& d, auto&) { write_file(d / "f", ""); },
       "创建 Service Unix Socket 目录失败("},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const fs::path socket = dir / c.socket_name;
    c.prepare(dir.path(), socket);
    const mode_t old_mask = ::umask(077);
    auto listener = ServiceTransport::unix_socket(socket).bind_listener();
    ::umask(old_mask);
    if (c.error_head != nullptr) {
      ASSERT_FALSE(listener.has_value());
      EXPECT_TRUE(listener.error().starts_with(c.error_head)) << listener.error();
      continue;
    }
    ASSERT_OK(listener);
    EXPECT_TRUE(is_socket_file(socket));
    EXPECT_EQ(mode_of(socket), 0666u);
    EXPECT_EQ(listener->form(), ServiceTransportForm::Unix);
    EXPECT_TRUE(::fcntl(listener->native_handle(), F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(::fcntl(listener->native_handle(), F_GETFD) & FD_CLOEXEC);
  }
}

TEST_F(ListenerTest, UnixPathThatCannotBeASocketAddressFailsInTheBindStep) {
  const std::string too_long = (dir_.path() / std::string(200, 'x')).native();
  auto listener = ServiceTransport::unix_socket(too_long).bind_listener();
  ASSERT_FALSE(listener.has_value());
  EXPECT_EQ(listener.error(), "绑定 Service Unix Socket 失败(" + too_long + "): socket path is " +
                                  std::to_string(too_long.size()) +
                                  " bytes long; it must be shorter than " +
                                  std::to_string(sizeof(sockaddr_un{}.sun_path)) + " bytes");

  const std::string with_nul = (dir_.path() / "a").native() + std::string("\0b", 2);
  listener = ServiceTransport::unix_socket(with_nul).bind_listener();
  ASSERT_FALSE(listener.has_value());
  EXPECT_TRUE(listener.error().starts_with("绑定 Service Unix Socket 失败(")) << listener.error();
  EXPECT_TRUE(listener.error().ends_with("): socket path contains a NUL byte")) << listener.error();
}

TEST_F(ListenerTest, DestroyingRemovesTheSocketFileOnlyOnce) {
  const fs::path socket = dir_ / "s.sock";
  {
    auto listener = ServiceTransport::unix_socket(socket).bind_listener();
    ASSERT_OK(listener);
    // The moved-from listener must not take the file away from its successor.
    auto moved = std::move(*listener);
    { auto sink = std::move(*listener); }
    EXPECT_TRUE(is_socket_file(socket));
  }
  EXPECT_FALSE(fs::exists(fs::symlink_status(socket)));

  // A file already removed by someone else is nothing to complain about.
  auto listener = ServiceTransport::unix_socket(socket).bind_listener();
  ASSERT_OK(listener);
  fs::remove(socket);
  { auto gone = std::move(*listener); }
  EXPECT_FALSE(fs::exists(fs::symlink_status(socket)));
}

TEST_F(ListenerTest, MoveAssignmentReleasesTheOldListenerFirst) {
  auto first = ServiceTransport::unix_socket(dir_ / "one.sock").bind_listener();
  auto second = ServiceTransport::unix_socket(dir_ / "two.sock").bind_listener();
  ASSERT_OK(first);
  ASSERT_OK(second);
  *first = std::move(*second);
  EXPECT_FALSE(fs::exists(dir_ / "one.sock"));
  EXPECT_TRUE(is_socket_file(dir_ / "two.sock"));
}

TEST_F(ListenerTest, TcpBindsTheLiteralLoopbackAddress) {
  auto listener = ServiceTransport::tcp("127.0.0.1:0").bind_listener();
  ASSERT_OK(listener);
  sockaddr_in address{};
  socklen_t length = sizeof address;
  ASSERT_EQ(
      ::getsockname(listener->native_handle(), reinterpret_cast<sockaddr*>(&address), &length), 0);
  EXPECT_EQ(address.sin_family, AF_INET);
  EXPECT_EQ(ntohl(address.sin_addr.s_addr), INADDR_LOOPBACK);
  EXPECT_NE(ntohs(address.sin_port), 0);
  EXPECT_TRUE(::fcntl(listener->native_handle(), F_GETFL) & O_NONBLOCK);
  EXPECT_TRUE(::fcntl(listener->native_handle(), F_GETFD) & FD_CLOEXEC);
}

TEST_F(ListenerTest, TcpEndpointWithoutPortFailsWithTheEndpointText) {
  auto listener = ServiceTransport::tcp("localhost").bind_listener();
  ASSERT_FALSE(listener.has_value());
  EXPECT_EQ(listener.error(), "绑定 Service TCP 端点失败(localhost): invalid socket address");
}

TEST(TcpEndpointTest, ResolvesLiteralsDirectlyAndNamesThroughTheResolver) {
  struct Case {
    const char* text;
    int family;  // AF_UNSPEC: any family, possibly several addresses
    std::uint16_t port;
  };
  for (const Case& c :
       {Case{"127.0.0.1:39217", AF_INET, 39217}, Case{"[::1]:0", AF_INET6, 0},
        Case{"localhost:65535", AF_UNSPEC, 65535}, Case{"127.0.0.1:00080", AF_INET, 80}}) {
    SCOPED_TRACE(c.text);
    auto addresses = resolve_tcp_endpoint(c.text);
    ASSERT_OK(addresses);
    ASSERT_FALSE(addresses->empty());
    if (c.family != AF_UNSPEC) {
      ASSERT_EQ(addresses->size(), 1u);
    }
    for (const auto& address : *addresses) {
      if (c.family != AF_UNSPEC) {
        EXPECT_EQ(address.family(), c.family);
      }
      const auto* in = reinterpret_cast<const sockaddr_in*>(&address.storage);
      EXPECT_EQ(ntohs(in->sin_port), c.port);  // same offset in sockaddr_in6
    }
  }
  using namespace std::string_view_literals;
  for (std::string_view bad : {""sv, "localhost"sv, "127.0.0.1"sv, "127.0.0.1:x"sv,
                               "127.0.0.1:+80"sv, "127.0.0.1:123456"sv, "local\0host:80"sv}) {
    EXPECT_FALSE(resolve_tcp_endpoint(bad).has_value()) << bad;
  }
}

}  // namespace
}  // namespace nimbletrace_test
