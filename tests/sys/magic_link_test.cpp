// Linux only: /proc magic links, and a thread that takes on another user's
// rights.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include "app_lib/platform/thread_credentials.h"
#include "app_lib/sys/fd.h"
#include "app_lib/sys/path_text.h"
#include "app_lib/sys/sys_error.h"
#include "tests/support/test_support.h"

namespace nimbletrace_test {
namespace {

namespace fs = std::filesystem;
using app_lib::sys::sys_error_text;
using app_lib::sys::UniqueFd;

// argv: target, link. Plants the link as whoever runs it; prints "planted"
// or the error.
NIMBLETRACE_TEST_HELPER(plant_link) {
  if (argc != 2) return 2;
  if (::symlink(argv[0], argv[1]) != 0) {
    std::printf("symlink: %s", sys_error_text(errno).c_str());
    return 1;
  }
  std::printf("planted");
  return 0;
}

// What reading `path` as the thread stands gives: the bytes, or the error.
std::string read_as_is(const std::string& path) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return sys_error_text(errno);
  char buffer[64];
  const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
  return n < 0 ? sys_error_text(errno) : std::string(buffer, static_cast<std::size_t>(n));
}

template <class T>
std::string outcome(const app_lib::Result<T>& result,
                    const std::function<std::string(const T&)>& ok) {
  return result ? "resolved " + ok(*result) : result.error();
}

// A thread of a root process that has taken on a user's rights (fsuid,
// groups, no capabilities) still follows /proc/self/fd/N into the process's
// own descriptors: the kernel lets a task at its own thread group
// unconditionally (fs/proc/fd.c proc_fd_permission; kernel/ptrace.c
// __ptrace_may_access, same_thread_group), and a magic link jumps straight
// to the open file, past every directory the user could not search
// (fs/namei.c nd_jump_link). So dropping rights alone does not keep a
// requester's path out of a 0700 directory the service holds a descriptor
// into; refusing magic links does. No resolver follows one, whether the
// link is named directly or planted by the requester as an ordinary
// symbolic link, for the file itself or as a directory component: not the
// two a start's paths go through, nor the two that resolve root's own
// names, which must stay safe to hand a requester's.
TEST(MagicLinkTest, NoResolverFollowsTheProcesssOwnDescriptorsForARequester) {
  if (::geteuid() != 0) GTEST_SKIP() << "taking on another user's rights needs root";
  // Readable by the requester, but behind a directory only root can search.
  TempDir vault;
  ASSERT_EQ(::chmod(vault.path().c_str(), 0700), 0);
  const fs::path inner = vault / "inner";
  fs::create_directories(inner / ".nimbletrace");
  write_file(inner / ".nimbletrace" / "config.yaml", "vault: 1\n");
  for (const fs::path& p : {inner, inner / ".nimbletrace"}) ASSERT_EQ(::chmod(p.c_str(), 0755), 0);
  const fs::path secret = inner / ".nimbletrace" / "config.yaml";
  ASSERT_EQ(::chmod(secret.c_str(), 0644), 0);
  // Held as a service holds files of its own.
  const UniqueFd held_file(::open(secret.c_str(), O_RDONLY | O_CLOEXEC));
  const UniqueFd held_dir(::open(inner.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(held_file && held_dir);
  // By the process's id, so that the magic link is the first link the walk
  // meets; planted, through /proc/self, which leads to whoever follows it.
  const auto fd_of = [](const std::string& process, const UniqueFd& fd) {
    return "/proc/" + process + "/fd/" + std::to_string(fd.get());
  };
  const std::string pid = std::to_string(::getpid());
  const std::string file_link = fd_of(pid, held_file);
  const std::string dir_link = fd_of(pid, held_dir);

  TempDir home;
  ASSERT_EQ(::chown(home.path().c_str(), ATTACKER_UID, ATTACKER_GID), 0);
  for (const auto& [target, name] :
       {std::pair{fd_of("self", held_file), "file"}, std::pair{fd_of("self", held_dir), "dir"}}) {
    auto [status, output] = run_program({.argv = {self_executable().string(), "--nt-helper",
                                                  "plant_link", target, (home / name).string()},
                                         .user = Process::User{ATTACKER_UID, ATTACKER_GID, {}}});
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
  }

  const app_lib::platform::PeerCredentials requester{ATTACKER_UID, ATTACKER_GID, {}};
  const auto as_requester = [&](const std::function<std::string()>& work) {
    auto done = app_lib::platform::with_peer_credentials(requester, work);
    return done ? *done : "rights not taken: " + done.error();
  };

  // The attack itself works on this kernel: only the link reaches the file.
  const std::string denied = sys_error_text(EACCES);
  ASSERT_EQ(as_requester([&] { return read_as_is(secret.string()); }), denied);
  const std::string through_link = as_requester([&] { return read_as_is(file_link); });
  if (through_link != "vault: 1\n") {
    GTEST_SKIP() << "this kernel keeps the thread out of its own descriptors (" << through_link
                 << "): nothing to refuse";
  }

  const std::string loop = sys_error_text(ELOOP);
  const std::string in_dir = "/.nimbletrace/config.yaml";
  const std::string paths[] = {
      file_link,
      (home / "file").string(),
      dir_link + in_dir,
      (home / "dir").string() + in_dir,
  };
  const auto path_of = [](const fs::path& p) { return p.string(); };
  const struct {
    const char* name;
    std::function<std::string(const std::string&)> resolve;
    std::string expected;
  } resolvers[] = {
      {"canonicalize",
       [&](const std::string& p) {
         return outcome<fs::path>(app_lib::sys::canonicalize(p), path_of);
       },
       loop},
      {"canonicalize_file",
       [&](const std::string& p) {
         return outcome<app_lib::sys::CanonicalFile>(
             app_lib::sys::canonicalize_file(p),
             [&](const app_lib::sys::CanonicalFile& f) { return path_of(f.path); });
       },
       loop},
      {"canonicalize_outside_proc",
       [&](const std::string& p) {
         return outcome<fs::path>(app_lib::sys::canonicalize_outside_proc(p), path_of);
       },
       denied},
      {"open_without_links",
       [&](const std::string& p) {
         auto fd = app_lib::sys::open_without_links(p, O_RDONLY);
         return fd ? "opened" : sys_error_text(fd.error());
       },
       loop},
  };
  for (const auto& r : resolvers) {
    for (const std::string& path : paths) {
      SCOPED_TRACE(std::string(r.name) + " of " + path);
      EXPECT_EQ(as_requester([&] { return r.resolve(path); }), r.expected);
    }
  }
}

}  // namespace
}  // namespace nimbletrace_test
