#include "app_lib/sys/path_text.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "app_lib/sys/sys_error.h"
#include "tests/support/test_support.h"

namespace app_lib::sys {
namespace {

using namespace std::string_literals;
namespace fs = std::filesystem;

TEST(SysErrorTest, EndsWithTheErrorNumber) {
  const std::string text = sys_error_text(ENOENT);
  EXPECT_TRUE(text.ends_with(" (os error 2)")) << text;
  EXPECT_GT(text.size(), std::string(" (os error 2)").size());
  errno = EACCES;
  EXPECT_EQ(last_sys_error_text(), sys_error_text(EACCES));
  EXPECT_TRUE(sys_error_text(99999).ends_with(" (os error 99999)"));
}

TEST(PathTextTest, ShowsInvalidBytesAsReplacementCharacter) {
  EXPECT_EQ(path_text("/tmp/服务/a b"), "/tmp/服务/a b");
  EXPECT_EQ(path_text("/tmp/bad\xFF"
                      "name"),
            "/tmp/bad\xEF\xBF\xBDname");
}

TEST(PathTextTest, CanonicalizeResolvesLinksAndDots) {
  nimbletrace_test::TempDir dir;
  fs::create_directories(dir / "real" / "sub");
  fs::create_directory_symlink(dir / "real", dir / "link");
  auto real = canonicalize(dir.path());
  ASSERT_OK(real);

  auto through_link = canonicalize(dir / "link" / "sub" / ".." / "sub");
  ASSERT_OK(through_link);
  EXPECT_EQ(*through_link, *real / "real" / "sub");

  auto missing = canonicalize(dir / "missing");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error(), sys_error_text(ENOENT));

  auto with_nul = canonicalize(fs::path((dir.path().native() + "\0/x"s)));
  ASSERT_FALSE(with_nul.has_value());
  EXPECT_EQ(with_nul.error(), sys_error_text(EINVAL));

  EXPECT_TRUE(exists_following_links(dir / "link"));
  fs::create_symlink(dir / "nowhere", dir / "dangling");
  EXPECT_FALSE(exists_following_links(dir / "dangling"));
}

// What realpath(3), the reference, answers for `text`: the path, or the errno.
struct RealpathAnswer {
  std::optional<std::string> path;
  int error = 0;
};
RealpathAnswer realpath_of(const std::string& text) {
  errno = 0;
  char* resolved = ::realpath(text.c_str(), nullptr);
  RealpathAnswer answer{std::nullopt, errno};
  if (resolved != nullptr) {
    answer.path = resolved;
    std::free(resolved);
  }
  return answer;
}

// canonicalize takes shortcuts on Linux; realpath(3) is the reference it must
// agree with, in its answers and in its errors. canonicalize_file must name
// the same path and the file a stat of it finds, by whichever way it resolved.
TEST(PathTextTest, CanonicalizeAgreesWithRealpath) {
  nimbletrace_test::TempDir dir;
  fs::create_directories(dir / "a" / "b");
  nimbletrace_test::write_file(dir / "a" / "b" / "file", "x");
  fs::create_symlink(dir / "a", dir / "link");
  fs::create_symlink("b/file", dir / "a" / "relative");
  fs::create_symlink(dir / "missing", dir / "dangling");
  const std::string base = dir.path().string();
  const std::string cases[] = {
      base + "/a/b/file",
      base + "/link/b/file",
      base + "/a/relative",
      base + "/a/./b//file",
      base + "/a/b/../b/file",
      base + "/a/b/file/",
      base + "/a/b/file/..",
      base + "/dangling",
      base + "/missing/x",
      base + "/a/b/",
      "/",
      "relative-from-cwd-missing",
  };
  for (const std::string& text : cases) {
    SCOPED_TRACE(text);
    const RealpathAnswer expected = realpath_of(text);
    const auto got = canonicalize(text);
    const auto file = canonicalize_file(text);
    if (expected.path) {
      ASSERT_TRUE(got.has_value()) << got.error();
      EXPECT_EQ(got->string(), *expected.path);
      struct stat st {};
      ASSERT_EQ(::stat(expected.path->c_str(), &st), 0);
      ASSERT_OK(file);
      EXPECT_EQ(file->path, *got);
      EXPECT_EQ(file->file, FileIdentity::of(st));
    } else {
      ASSERT_FALSE(got.has_value()) << got->string();
      EXPECT_EQ(got.error(), app_lib::sys::sys_error_text(expected.error));
      ASSERT_FALSE(file.has_value());
      EXPECT_EQ(file.error(), got.error());
    }
  }
}

// canonicalize_outside_proc resolves a path that crosses a mount point a
// component at a time, reading links itself; outside procfs it must answer
// what realpath(3) answers. /dev is a mount of its own on most systems, and
// reached here through links, "..", and a trailing slash.
TEST(PathTextTest, CanonicalizeOutsideProcAgreesWithRealpathAcrossMounts) {
  nimbletrace_test::TempDir dir;
  fs::create_directories(dir / "a" / "b");
  nimbletrace_test::write_file(dir / "a" / "b" / "file", "x");
  fs::create_directory_symlink("/dev", dir / "dev");
  fs::create_symlink("../dev/null", dir / "a" / "null");
  fs::create_symlink("loop", dir / "loop");
  const std::string base = dir.path().string();
  const std::string cases[] = {
      base + "/dev",
      base + "/dev/",
      base + "/dev/null",
      base + "/dev/null/",
      base + "/dev/none",
      base + "/dev/../" + base.substr(1) + "/a/b/file",
      base + "/a/null",
      base + "/a/./null",
      "/dev/../dev/./null",
      base + "/loop/x",
      base + "/a/b/file",
      base + "/a/b/../../a/b/file",
      base + "/a/b/file/",
      "relative-from-cwd-missing",
  };
  for (const std::string& text : cases) {
    SCOPED_TRACE(text);
    const RealpathAnswer expected = realpath_of(text);
    const auto got = canonicalize_outside_proc(text);
    if (expected.path) {
      ASSERT_TRUE(got.has_value()) << got.error();
      EXPECT_EQ(got->string(), *expected.path);
    } else {
      ASSERT_FALSE(got.has_value()) << got->string();
      EXPECT_EQ(got.error(), sys_error_text(expected.error));
    }
  }
}

TEST(PathTextTest, ComparesComponentByComponent) {
  EXPECT_TRUE(same_components("/a/.nimbletrace/config.yaml", "/a/.nimbletrace/config.yaml"));
  EXPECT_FALSE(same_components("/a/.nimbletrace", "/a/.nimbletrace/config.yaml"));
  EXPECT_FALSE(same_components("/a/.Nimbletrace", "/a/.nimbletrace"));
  EXPECT_FALSE(same_components("/a/b", "a/b"));
}

}  // namespace
}  // namespace app_lib::sys
