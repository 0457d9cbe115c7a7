#include "app_lib/service_runner/config_readers.h"

#include <cerrno>
#include <exception>
#include <system_error>
#include <thread>
#include <utility>

#include "app_lib/platform/thread_credentials.h"
#include "app_lib/sys/message.h"
#include "app_lib/sys/sys_error.h"

namespace app_lib::service_runner {

using service_ipc::ServiceRunnerCoreLaunchConfig;

Result<ConfigReaders> ConfigReaders::create() {
  auto pipe = sys::WakePipe::create();
  if (!pipe) return fail(std::move(pipe.error()));
  return ConfigReaders(std::make_shared<Shared>(std::move(*pipe)));
}

ConfigReaders::Room ConfigReaders::room() const {
  if (shared_->threads.load() < THREAD_LIMIT) return Room::Free;
  return shared_->abandoned.load() >= THREAD_LIMIT ? Room::Exhausted : Room::Busy;
}

Result<std::shared_ptr<ConfigReaders::Read>> ConfigReaders::start(
    const ServiceRunnerCoreLaunchConfig& config,
    const std::optional<platform::PeerCredentials>& requester,
    std::chrono::steady_clock::time_point deadline) {
  auto read = std::make_shared<Read>(shared_, deadline);
  shared_->threads.fetch_add(1);
  try {
    std::thread([shared = shared_, read, launch = config, peer = requester]() mutable noexcept {
      bool abandoned = false;
      {
        Result<std::string> outcome = fail(std::string());
        try {
          // The thread's rights end with it: the kernel drops a thread's
          // credential when the thread is gone, and nothing reverts them.
          auto assumed = peer ? platform::assume_for_rest_of_thread(*peer) : Result<void>{};
          outcome = assumed ? read_verified_config(launch, read->step_)
                            : fail(config_read_failure(ConfigReadStep::Directory,
                                                       assumed.error()));
        } catch (const std::exception& error) {
          outcome = fail(sys::with_cause("处理 macOS 服务请求失败", error.what()));
        } catch (...) {
          outcome = fail(sys::with_cause("处理 macOS 服务请求失败", "unknown exception"));
        }
        abandoned = read->finish(std::move(outcome));
        // What the thread held goes before it counts as gone.
        read.reset();
        launch = {};
        peer.reset();
      }
      if (abandoned) shared->abandoned.fetch_sub(1);
      shared->threads.fetch_sub(1);
      shared->wake.signal();
    }).detach();
  } catch (const std::system_error& error) {
    shared_->threads.fetch_sub(1);
    return fail(config_read_failure(ConfigReadStep::Directory,
                                    sys::sys_error_text(error.code().value())));
  }
  return read;
}

bool ConfigReaders::Read::finish(Result<std::string> outcome) {
  const std::lock_guard lock(mutex_);
  if (!abandoned_) outcome_ = std::move(outcome);
  return abandoned_;
}

std::optional<Result<std::string>> ConfigReaders::Read::take() {
  const std::lock_guard lock(mutex_);
  return std::exchange(outcome_, std::nullopt);
}

Result<std::string> ConfigReaders::Read::abandon() {
  const std::lock_guard lock(mutex_);
  if (outcome_) return std::move(*std::exchange(outcome_, std::nullopt));
  abandoned_ = true;
  shared_->abandoned.fetch_add(1);
  return fail(config_read_failure(step_.load(), sys::sys_error_text(ETIMEDOUT)));
}

}  // namespace app_lib::service_runner
