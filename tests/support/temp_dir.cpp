#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fstream>
#include <iterator>
#include <system_error>

#include "tests/support/test_support.h"

namespace nimbletrace_test {

const std::filesystem::path& temp_root() {
  // Others get search permission whatever the umask: the attacker of the
  // security tests walks through to the directories handed to it.
  static const auto* root = [] {
    auto* path = new std::filesystem::path(NIMBLETRACE_TEST_TMPDIR);
    std::error_code ec;
    std::filesystem::create_directories(*path, ec);
    ::chmod(path->c_str(), 0755);
    return path;
  }();
  return *root;
}

TempDir::TempDir() {
  std::string pattern = (temp_root() / "nt-XXXXXX").native();
  const char* made = ::mkdtemp(pattern.data());
  if (made == nullptr) {
    std::fprintf(stderr, "cannot make a directory %s: %s\n", pattern.c_str(), std::strerror(errno));
    std::abort();
  }
  path_ = made;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void write_file(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) ADD_FAILURE() << "cannot write " << path;
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text;
  try {
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  } catch (const std::ios_base::failure&) {
    // A read that fails after the open (a /proc file whose process exited
    // in between answers ESRCH) throws from the buffer itself: the file is
    // as good as gone.
    text.clear();
  }
  return text;
}

}  // namespace nimbletrace_test
