#pragma once

// Running the real service binary with the XNU shim preloaded
// (xnu_shim.cpp), so the paths macOS takes run on Linux. Linux only.

#include <filesystem>
#include <string>
#include <vector>

namespace nimbletrace_test {

// The environment entries that preload the shim into a service started
// with them; the shim keeps its marker files in `shim_dir`.
std::vector<std::string> xnu_shim_env(const std::filesystem::path& shim_dir);

}  // namespace nimbletrace_test
