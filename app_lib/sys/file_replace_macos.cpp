#include <stdio.h>

#include "app_lib/sys/file_replace.h"
#include "app_lib/sys/sys_error.h"

namespace app_lib::sys {

Result<void> replace_file(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return fail(last_sys_error_text());
  return {};
}

}  // namespace app_lib::sys
