#include "tests/support/stalling_fs.h"

#include <fcntl.h>
#include <linux/fuse.h>
#include <poll.h>
#include <sys/mount.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "app_lib/sys/fd.h"
#include "app_lib/sys/sys_error.h"

namespace nimbletrace_test {

namespace {

using app_lib::sys::UniqueFd;

// Answers INIT (fs/fuse/inode.c, process_init_reply) and leaves every other
// request unanswered; ends when `stop` becomes readable.
void serve(int device, int stop) {
  std::vector<char> buffer(FUSE_MIN_READ_BUFFER + 65536);
  for (;;) {
    pollfd entries[2] = {{device, POLLIN, 0}, {stop, POLLIN, 0}};
    if (::poll(entries, 2, -1) < 0 && errno != EINTR) return;
    if ((entries[1].revents & POLLIN) != 0) return;
    if ((entries[0].revents & (POLLERR | POLLHUP)) != 0) return;
    if ((entries[0].revents & POLLIN) == 0) continue;
    const ssize_t got = ::read(device, buffer.data(), buffer.size());
    if (got < static_cast<ssize_t>(sizeof(fuse_in_header))) {
      if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == ENOENT)) continue;
      return;
    }
    fuse_in_header in{};
    std::memcpy(&in, buffer.data(), sizeof in);
    if (in.opcode != FUSE_INIT) continue;
    struct {
      fuse_out_header header;
      fuse_init_out init;
    } reply{};
    reply.header.len = sizeof reply;
    reply.header.unique = in.unique;
    reply.init.major = FUSE_KERNEL_VERSION;
    reply.init.minor = FUSE_KERNEL_MINOR_VERSION;
    reply.init.max_write = 4096;
    if (::write(device, &reply, sizeof reply) != static_cast<ssize_t>(sizeof reply)) return;
  }
}

}  // namespace

struct StallingFs::State {
  UniqueFd device;
  UniqueFd stop_read;
  UniqueFd stop_write;
  std::thread server;
};

app_lib::Result<std::unique_ptr<StallingFs>> StallingFs::mount(const std::filesystem::path& dir) {
  auto state = std::make_unique<State>();
  state->device = UniqueFd(::open("/dev/fuse", O_RDWR | O_CLOEXEC | O_NONBLOCK));
  if (!state->device) return app_lib::fail("/dev/fuse: " + app_lib::sys::last_sys_error_text());
  int ends[2] = {-1, -1};
  if (::pipe2(ends, O_CLOEXEC) != 0) return app_lib::fail(app_lib::sys::last_sys_error_text());
  state->stop_read = UniqueFd(ends[0]);
  state->stop_write = UniqueFd(ends[1]);
  const std::string options = "fd=" + std::to_string(state->device.get()) +
                              ",rootmode=40000,user_id=0,group_id=0,allow_other";
  if (::mount("nimbletrace-stall", dir.c_str(), "fuse.nimbletrace-stall", MS_NOSUID | MS_NODEV,
              options.c_str()) != 0) {
    return app_lib::fail("mount " + dir.string() + ": " + app_lib::sys::last_sys_error_text());
  }
  state->server = std::thread(serve, state->device.get(), state->stop_read.get());
  return std::unique_ptr<StallingFs>(new StallingFs(dir, std::move(state)));
}

StallingFs::StallingFs(std::filesystem::path dir, std::unique_ptr<State> state)
    : dir_(std::move(dir)), state_(std::move(state)) {}

StallingFs::~StallingFs() {
  (void)::write(state_->stop_write.get(), "x", 1);
  state_->server.join();
  // The last close of the device aborts the connection (fs/fuse/dev.c,
  // fuse_dev_release -> fuse_abort_conn): every waiting request ends with
  // ECONNABORTED. Then nothing keeps the detached mount busy.
  state_->device.reset();
  ::umount2(dir_.c_str(), MNT_DETACH);
}

}  // namespace nimbletrace_test
