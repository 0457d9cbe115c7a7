#include "app_lib/sys/fixed_paths.h"

#include <string>

#ifndef NIMBLETRACE_FS_ROOT
#define NIMBLETRACE_FS_ROOT ""
#endif

namespace app_lib::sys {
namespace {

std::filesystem::path under_root(std::string_view fixed_absolute) {
  std::string text(fs_root());
  text += fixed_absolute;
  return std::filesystem::path(std::move(text));
}

}  // namespace

std::string_view fs_root() {
  return NIMBLETRACE_FS_ROOT;
}

std::filesystem::path privileged_helper_tools_dir() {
  return under_root("/Library/PrivilegedHelperTools");
}

std::filesystem::path application_support_dir() {
  return under_root("/Library/Application Support");
}

}  // namespace app_lib::sys
