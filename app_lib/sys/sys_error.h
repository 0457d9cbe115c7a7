#pragma once

#include <string>

namespace app_lib::sys {

// "<description> (os error N)": the form every message uses for an OS error.
std::string sys_error_text(int error_number);

// The same for the current errno.
std::string last_sys_error_text();

}  // namespace app_lib::sys
