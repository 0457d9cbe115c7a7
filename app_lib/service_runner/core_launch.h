#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "app_lib/service_ipc/messages.h"
#include "app_lib/sys/result.h"

// A start in the two halves the loop runs apart: reading the client's
// configuration, which may wait on any file system the client names, and
// staging it and starting the core, which touches only the service's own
// files and the core slot.
namespace app_lib::service_runner {

// The step a start is at while it works on the client's names; a read that
// runs out of time fails with this step's message.
enum class ConfigReadStep { Directory, File, Contents };

// The message of a read that failed at `step`, for `cause`.
std::string config_read_failure(ConfigReadStep step, std::string_view cause);

// The first check of a start: the core executable is installed.
Result<void> check_core_installed();

// Resolves both names, applies the directory and endpoint rules, reads the
// file and checks its digest, with the calling thread's rights. Returns the
// bytes that were digested. Keeps `step` current before each call that may
// wait on the client's file system.
Result<std::string> read_verified_config(const service_ipc::ServiceRunnerCoreLaunchConfig& config,
                                         std::atomic<ConfigReadStep>& step);

// Stages `bytes` as the core's configuration and starts the core, or keeps
// the one that runs for the same endpoint. Returns the success text.
Result<std::string> launch_core_with(const service_ipc::ServiceRunnerCoreLaunchConfig& config,
                                     std::string_view bytes);

}  // namespace app_lib::service_runner
