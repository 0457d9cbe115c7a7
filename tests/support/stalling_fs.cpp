#include "tests/support/stalling_fs.h"

#include <fcntl.h>
#include <linux/fuse.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "app_lib/sys/fd.h"
#include "app_lib/sys/sys_error.h"

namespace nimbletrace_test {

using app_lib::sys::UniqueFd;

struct StallingFs::State {
  UniqueFd device;
  UniqueFd source;
  std::string name;
  off_t size = 0;
  UniqueFd stop_read;
  UniqueFd stop_write;
  // Held while a request is read and answered, so that stall() returns only
  // once the one in hand has been answered.
  std::mutex answering;
  bool stalled = true;
  std::thread server;

  // Without a source, stalled from the start.
  static app_lib::Result<std::unique_ptr<StallingFs>> mount(const std::filesystem::path& dir,
                                                            const std::string& name,
                                                            const std::filesystem::path& source);
  fuse_attr attributes(std::uint64_t node) const;
  void answer(const fuse_in_header& in, const char* body);
  void serve();
};

namespace {

constexpr std::uint64_t FILE_ID = FUSE_ROOT_ID + 1;

// A failed write is the kernel's business (a request interrupted or
// aborted meanwhile); the next read tells whether the device still works.
void reply(int device, std::uint64_t unique, int error, const void* body = nullptr,
           std::size_t length = 0) {
  fuse_out_header header{static_cast<std::uint32_t>(sizeof header + length), -error, unique};
  iovec parts[2] = {{&header, sizeof header}, {const_cast<void*>(body), length}};
  (void)::writev(device, parts, length == 0 ? 1 : 2);
}

template <class Body>
void reply_with(int device, std::uint64_t unique, const Body& body) {
  reply(device, unique, 0, &body, sizeof body);
}

constexpr std::size_t REQUEST_BUFFER = FUSE_MIN_READ_BUFFER + 65536;

}  // namespace

fuse_attr StallingFs::State::attributes(std::uint64_t node) const {
  fuse_attr attr{};
  attr.ino = node;
  attr.mode = (node == FUSE_ROOT_ID ? S_IFDIR : S_IFREG) | 0755;
  attr.nlink = node == FUSE_ROOT_ID ? 2 : 1;
  attr.size = node == FUSE_ROOT_ID ? 0 : static_cast<std::uint64_t>(size);
  attr.blocks = (attr.size + 511) / 512;
  attr.blksize = 4096;
  return attr;
}

// Valid times stay 0, so the kernel keeps no name or attribute and asks
// again on every walk and stat (fs/fuse/dir.c, fuse_dentry_revalidate).
void StallingFs::State::answer(const fuse_in_header& in, const char* body) {
  const int fd = device.get();
  switch (in.opcode) {
    case FUSE_LOOKUP: {
      if (in.nodeid != FUSE_ROOT_ID || name != body) return reply(fd, in.unique, ENOENT);
      fuse_entry_out entry{};
      entry.nodeid = FILE_ID;
      entry.attr = attributes(FILE_ID);
      return reply_with(fd, in.unique, entry);
    }
    case FUSE_GETATTR: {
      fuse_attr_out out{};
      out.attr = attributes(in.nodeid);
      return reply_with(fd, in.unique, out);
    }
    case FUSE_OPEN:
    case FUSE_OPENDIR:
      return reply_with(fd, in.unique, fuse_open_out{});
    case FUSE_READ: {
      fuse_read_in read{};
      std::memcpy(&read, body, sizeof read);
      // A short answer would tell the kernel that the file ends there
      // (fuse_short_read), so the whole size asked for is read.
      std::vector<char> data(read.size);
      const ssize_t got =
          ::pread(source.get(), data.data(), data.size(), static_cast<off_t>(read.offset));
      if (got < 0) return reply(fd, in.unique, errno);
      return reply(fd, in.unique, 0, data.data(), static_cast<std::size_t>(got));
    }
    case FUSE_STATFS: {
      fuse_statfs_out out{};
      out.st.bsize = out.st.frsize = 4096;
      out.st.namelen = 255;
      return reply_with(fd, in.unique, out);
    }
    case FUSE_FLUSH:
    case FUSE_RELEASE:
    case FUSE_RELEASEDIR:
    case FUSE_ACCESS:
      return reply(fd, in.unique, 0);
    case FUSE_FORGET:
    case FUSE_BATCH_FORGET:
      return;
    default:
      // Extended attributes among them: the kernel stops asking for those.
      return reply(fd, in.unique, ENOSYS);
  }
}

// Serves until the stop pipe becomes readable. Once stalled, the device is
// no longer read: a request left pending in the kernel can still be given
// up by a killed caller, one read and never answered cannot
// (fs/fuse/dev.c, request_wait_answer).
void StallingFs::State::serve() {
  std::vector<char> buffer(REQUEST_BUFFER);
  for (;;) {
    std::unique_lock lock(answering);
    const nfds_t watched = stalled ? 1 : 2;
    lock.unlock();
    pollfd entries[2] = {{stop_read.get(), POLLIN, 0}, {device.get(), POLLIN, 0}};
    if (::poll(entries, watched, -1) < 0 && errno != EINTR) return;
    if (entries[0].revents != 0 || (entries[1].revents & (POLLERR | POLLHUP)) != 0) return;
    if ((entries[1].revents & POLLIN) == 0) continue;
    lock.lock();
    if (stalled) continue;
    const ssize_t got = ::read(device.get(), buffer.data(), buffer.size() - 1);
    if (got < static_cast<ssize_t>(sizeof(fuse_in_header))) {
      if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == ENOENT)) continue;
      return;
    }
    buffer[static_cast<std::size_t>(got)] = '\0';  // ends a name that came unterminated
    fuse_in_header in{};
    std::memcpy(&in, buffer.data(), sizeof in);
    answer(in, buffer.data() + sizeof in);
  }
}

app_lib::Result<std::unique_ptr<StallingFs>> StallingFs::State::mount(
    const std::filesystem::path& dir, const std::string& name,
    const std::filesystem::path& source) {
  auto state = std::make_unique<State>();
  struct stat st {};
  if (!source.empty()) {
    state->source = UniqueFd(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (!state->source || ::fstat(state->source.get(), &st) != 0) {
      return app_lib::fail(source.string() + ": " + app_lib::sys::last_sys_error_text());
    }
  }
  int ends[2] = {-1, -1};
  if (::pipe2(ends, O_CLOEXEC) != 0) return app_lib::fail(app_lib::sys::last_sys_error_text());
  state->stop_read = UniqueFd(ends[0]);
  state->stop_write = UniqueFd(ends[1]);
  state->device = UniqueFd(::open("/dev/fuse", O_RDWR | O_CLOEXEC | O_NONBLOCK));
  if (!state->device) return app_lib::fail("/dev/fuse: " + app_lib::sys::last_sys_error_text());
  const std::string options = "fd=" + std::to_string(state->device.get()) +
                              ",rootmode=40000,user_id=0,group_id=0,allow_other";
  if (::mount("nimbletrace-stall", dir.c_str(), "fuse.nimbletrace-stall", MS_NOSUID | MS_NODEV,
              options.c_str()) != 0) {
    return app_lib::fail("mount " + dir.string() + ": " + app_lib::sys::last_sys_error_text());
  }
  // From here on the destructor detaches the mount.
  std::unique_ptr<StallingFs> mounted(new StallingFs(dir, std::move(state)));
  State& s = *mounted->state_;
  // The kernel queues INIT before mount(2) returns (fs/fuse/inode.c,
  // fuse_fill_super -> fuse_send_init), so it is there to be read at once.
  std::vector<char> buffer(REQUEST_BUFFER);
  const ssize_t got = ::read(s.device.get(), buffer.data(), buffer.size());
  fuse_in_header in{};
  fuse_init_in init{};
  std::memcpy(&in, buffer.data(), sizeof in);
  std::memcpy(&init, buffer.data() + sizeof in, sizeof init);
  if (got < static_cast<ssize_t>(sizeof in + sizeof init) || in.opcode != FUSE_INIT) {
    return app_lib::fail("no INIT from the kernel: " + app_lib::sys::last_sys_error_text());
  }
  fuse_init_out out{};
  out.major = FUSE_KERNEL_VERSION;
  out.minor = FUSE_KERNEL_MINOR_VERSION;
  out.max_readahead = init.max_readahead;
  out.max_write = 4096;
  reply_with(s.device.get(), in.unique, out);
  if (!source.empty()) {
    s.name = name;
    s.size = st.st_size;
    s.stalled = false;
    s.server = std::thread(&State::serve, &s);
  }
  return mounted;
}

app_lib::Result<std::unique_ptr<StallingFs>> StallingFs::mount(const std::filesystem::path& dir) {
  return State::mount(dir, {}, {});
}

app_lib::Result<std::unique_ptr<StallingFs>> StallingFs::mount_serving(
    const std::filesystem::path& dir, const std::string& name,
    const std::filesystem::path& source) {
  return State::mount(dir, name, source);
}

StallingFs::StallingFs(std::filesystem::path dir, std::unique_ptr<State> state)
    : dir_(std::move(dir)), state_(std::move(state)) {}

void StallingFs::stall() {
  const std::lock_guard lock(state_->answering);
  state_->stalled = true;
}

StallingFs::~StallingFs() {
  if (state_->server.joinable()) {
    (void)::write(state_->stop_write.get(), "x", 1);
    state_->server.join();
  }
  // The last close of the device aborts the connection (fs/fuse/dev.c,
  // fuse_dev_release -> fuse_abort_conn): every waiting request ends with
  // ECONNABORTED. Then nothing keeps the detached mount busy.
  state_->device.reset();
  ::umount2(dir_.c_str(), MNT_DETACH);
}

}  // namespace nimbletrace_test
