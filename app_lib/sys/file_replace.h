#pragma once

#include <filesystem>

#include "app_lib/sys/result.h"

namespace app_lib::sys {

// Puts `from` in the place of `to` in one atomic step, as rename(2) does: a
// reader of `to` sees either the old file or the new one, never neither. Both
// must lie in the same directory. The error is the system error text alone.
Result<void> replace_file(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace app_lib::sys
