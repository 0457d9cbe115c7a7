#pragma once

#include <filesystem>
#include <string_view>

namespace app_lib::sys {

// The one place that knows the system's fixed absolute locations. Each result
// carries the compile-time sandbox prefix (empty in production builds).
std::string_view fs_root();
std::filesystem::path privileged_helper_tools_dir();  // /Library/PrivilegedHelperTools
std::filesystem::path application_support_dir();      // /Library/Application Support

}  // namespace app_lib::sys
