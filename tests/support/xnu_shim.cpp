// Preloaded (LD_PRELOAD) into the real service binary, this library answers
// a few calls the way XNU does where Linux answers differently, so that the
// code macOS runs takes the same path here. It also offers a refusal no
// real file system here gives on demand, and one pause, for tests that must
// act inside a window the service would otherwise close at once. It links nothing but libc and
// libdl and is built without sanitizers.
//
//   mkdir("/")  EISDIR, as XNU before xnu-8792 (macOS 11 and 12) answers
//               (bsd/vfs/vfs_lookup.c, lookup_handle_emptyname).
//   is a dir    mkdir of a path listed in NIMBLETRACE_SHIM_MKDIR_EISDIR
//               (separated by ':') fails with EISDIR while a directory
//               stands there, and appends the path to
//               NIMBLETRACE_SHIM_DIR/mkdir-eisdir: that XNU answer for a
//               directory that exists, given to the names the service
//               does create, which XNU itself answers with EEXIST.
//   sigwait     its first call returns 0 without storing a signal, as
//               macOS's libpthread does when the kernel's wait was
//               interrupted (src/pthread_cancelable.c, sigwait); it writes
//               NIMBLETRACE_SHIM_DIR/sigwait-spurious when it did.
//   busy        unlinkat of an existing entry named NIMBLETRACE_SHIM_BUSY_UNLINK
//               fails with EBUSY: a file system that refuses to remove it.
//   rights      with NIMBLETRACE_SHIM_NO_PASSRIGHTS set, setsockopt and
//               getsockopt of SO_PASSRIGHTS answer ENOPROTOOPT, as every
//               Linux before 6.16 does: descriptors pass over every
//               connection, as they do on XNU.
//   pause       after a successful mkdir of NIMBLETRACE_SHIM_PAUSE_AFTER, it
//               creates NIMBLETRACE_SHIM_DIR/paused and waits, at most 30 s,
//               for NIMBLETRACE_SHIM_DIR/resume to appear.
//   old kernel  with NIMBLETRACE_SHIM_NO_PEERPIDFD set, getsockopt of
//               SO_PEERPIDFD fails with ENOPROTOOPT, as every Linux before
//               6.5 answers an option it does not know (net/core/sock.c,
//               sk_getsockopt, default case).

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

template <class Function>
Function real(const char* name) {
  return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

void touch(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) ::close(fd);
}

void pause_after_mkdir(const char* path) {
  const char* target = std::getenv("NIMBLETRACE_SHIM_PAUSE_AFTER");
  const char* dir = std::getenv("NIMBLETRACE_SHIM_DIR");
  if (target == nullptr || dir == nullptr || std::strcmp(path, target) != 0) return;
  const std::string base(dir);
  touch(base + "/paused");
  const std::string resume = base + "/resume";
  struct stat st {};
  for (int waited_ms = 0; waited_ms < 30000 && ::stat(resume.c_str(), &st) != 0; ++waited_ms) {
    const timespec one_ms{0, 1000000};
    ::nanosleep(&one_ms, nullptr);
  }
}

// Whether `path` is listed in NIMBLETRACE_SHIM_MKDIR_EISDIR and a directory
// stands there now; if so, says so in NIMBLETRACE_SHIM_DIR/mkdir-eisdir.
bool answer_is_a_directory(const char* path) {
  const char* listed = std::getenv("NIMBLETRACE_SHIM_MKDIR_EISDIR");
  if (listed == nullptr) return false;
  const std::string_view list(listed);
  const std::string_view wanted(path);
  bool found = false;
  for (std::size_t begin = 0; begin <= list.size() && !found;) {
    std::size_t end = list.find(':', begin);
    if (end == std::string_view::npos) end = list.size();
    found = list.substr(begin, end - begin) == wanted;
    begin = end + 1;
  }
  struct stat st {};
  if (!found || ::stat(path, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  if (const char* dir = std::getenv("NIMBLETRACE_SHIM_DIR")) {
    const std::string record = std::string(dir) + "/mkdir-eisdir";
    const int fd = ::open(record.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
      const std::string line = std::string(path) + "\n";
      (void)!::write(fd, line.data(), line.size());
      ::close(fd);
    }
  }
  return true;
}

}  // namespace

extern "C" int mkdir(const char* path, mode_t mode) {
  static const auto next = real<int (*)(const char*, mode_t)>("mkdir");
  if (std::strcmp(path, "/") == 0 || answer_is_a_directory(path)) {
    errno = EISDIR;
    return -1;
  }
  const int rc = next(path, mode);
  if (rc == 0) {
    const int saved = errno;
    pause_after_mkdir(path);
    errno = saved;
  }
  return rc;
}

extern "C" int sigwait(const sigset_t* set, int* signal_number) {
  static const auto next = real<int (*)(const sigset_t*, int*)>("sigwait");
  static std::atomic<bool> answered{false};
  if (!answered.exchange(true)) {
    if (const char* dir = std::getenv("NIMBLETRACE_SHIM_DIR")) {
      touch(std::string(dir) + "/sigwait-spurious");
    }
    return 0;
  }
  return next(set, signal_number);
}

extern "C" int unlinkat(int dir_fd, const char* name, int flags) {
  static const auto next = real<int (*)(int, const char*, int)>("unlinkat");
  const char* busy = std::getenv("NIMBLETRACE_SHIM_BUSY_UNLINK");
  struct stat st {};
  if (busy != nullptr && std::strcmp(name, busy) == 0 &&
      ::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EBUSY;
    return -1;
  }
  return next(dir_fd, name, flags);
}

namespace {

// include/uapi/asm-generic/socket.h, Linux 6.16.
constexpr int SO_PASSRIGHTS_OPTION = 83;

bool passrights_unknown(int level, int name) {
  return level == SOL_SOCKET && name == SO_PASSRIGHTS_OPTION &&
         std::getenv("NIMBLETRACE_SHIM_NO_PASSRIGHTS") != nullptr;
}

// Linux 6.5; unknown before.
constexpr int SO_PEERPIDFD_OPTION = 77;

bool peerpidfd_unknown(int level, int name) {
  return level == SOL_SOCKET && name == SO_PEERPIDFD_OPTION &&
         std::getenv("NIMBLETRACE_SHIM_NO_PEERPIDFD") != nullptr;
}

}  // namespace

extern "C" int setsockopt(int fd, int level, int name, const void* value, socklen_t length) {
  static const auto next = real<int (*)(int, int, int, const void*, socklen_t)>("setsockopt");
  if (passrights_unknown(level, name)) {
    errno = ENOPROTOOPT;
    return -1;
  }
  return next(fd, level, name, value, length);
}

extern "C" int getsockopt(int fd, int level, int name, void* value, socklen_t* length) {
  static const auto next = real<int (*)(int, int, int, void*, socklen_t*)>("getsockopt");
  if (passrights_unknown(level, name) || peerpidfd_unknown(level, name)) {
    errno = ENOPROTOOPT;
    return -1;
  }
  return next(fd, level, name, value, length);
}
