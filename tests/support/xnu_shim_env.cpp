#include <cstdlib>
#include <string>

#include "tests/support/xnu_shim.h"

namespace nimbletrace_test {

std::vector<std::string> xnu_shim_env(const std::filesystem::path& shim_dir) {
  // AddressSanitizer insists on coming first among the preloaded libraries;
  // the shim comes before it, and touches no memory the sanitizer tracks.
  const char* asan = std::getenv("ASAN_OPTIONS");
  std::string asan_options = asan != nullptr && *asan != '\0' ? std::string(asan) + ":" : "";
  asan_options += "verify_asan_link_order=0";
  return {std::string("LD_PRELOAD=") + NIMBLETRACE_XNU_SHIM,
          "NIMBLETRACE_SHIM_DIR=" + shim_dir.string(), "ASAN_OPTIONS=" + asan_options};
}

}  // namespace nimbletrace_test
