#include "app_lib/sys/sys_error.h"

#include <cerrno>
#include <cstring>

namespace app_lib::sys {
namespace {

// strerror_r has a GNU and an XSI signature; overloads pick whichever this libc has.
[[maybe_unused]] const char* description(int rc, const char* buffer) {
  return rc == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* description(const char* result, const char*) {
  return result;
}

}  // namespace

std::string sys_error_text(int error_number) {
  char buffer[256] = {};
  const char* text = description(::strerror_r(error_number, buffer, sizeof buffer), buffer);
  std::string out = (text != nullptr && *text != '\0') ? text : "Unknown error";
  out += " (os error ";
  out += std::to_string(error_number);
  out += ')';
  return out;
}

std::string last_sys_error_text() {
  return sys_error_text(errno);
}

}  // namespace app_lib::sys
