#include <stdio.h>

#include "app_lib/sys/file_replace.h"
#include "app_lib/sys/sys_error.h"

namespace app_lib::sys {

Result<void> replace_file_at(int dir_fd, const char* from, const char* to) {
  if (::renameat(dir_fd, from, dir_fd, to) != 0) return fail(last_sys_error_text());
  return {};
}

}  // namespace app_lib::sys
