#pragma once

#include "app_lib/sys/result.h"

namespace app_lib::sys {

// Puts the entry `from` in the place of `to`, both names inside the directory
// open as `dir_fd`, in one atomic step as rename(2) does: a reader of `to`
// sees either the old file or the new one, never neither. The error is the
// system error text alone.
Result<void> replace_file_at(int dir_fd, const char* from, const char* to);

}  // namespace app_lib::sys
