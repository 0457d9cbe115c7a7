#include "app_lib/sys/file_read.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "tests/support/test_support.h"

namespace nimbletrace_test {
namespace {

namespace fs = std::filesystem;
using app_lib::sys::FileReadOptions;
using app_lib::sys::read_whole_file;

std::string outcome(const fs::path& path, const FileReadOptions& options) {
  auto bytes = read_whole_file(path, options);
  return bytes ? "bytes:" + *bytes : "error:" + bytes.error().text();
}

// Every way a root service's read of a file a user controls can go wrong
// must end in an answer, at once, and within the cap.
TEST(FileReadTest, ReadsWithinTheCapAndRefusesWhatCouldBlockOrNeverEnd) {
  TempDir dir;
  const fs::path file = dir / "file";
  const fs::path real = dir / "real";
  const FileReadOptions cap4{.size_cap = 4};
  const FileReadOptions strict{.size_cap = 4, .no_links = true, .regular_only = true};
  const struct {
    const char* name;
    std::function<fs::path()> arrange;
    FileReadOptions options;
    std::string expected;
  } cases[] = {
      {"empty",
       [&] {
         write_file(file, "");
         return file;
       },
       cap4, "bytes:"},
      {"exactly the cap",
       [&] {
         write_file(file, "abcd");
         return file;
       },
       cap4, "bytes:abcd"},
      {"one byte over",
       [&] {
         write_file(file, "abcde");
         return file;
       },
       cap4, "error:File too large (os error 27)"},
      {"endless device", [] { return fs::path("/dev/zero"); }, cap4,
       "error:File too large (os error 27)"},
      {"device, regular files only", [] { return fs::path("/dev/zero"); }, strict,
       "error:not a regular file"},
      {"FIFO without a writer, regular files only",
       [&] {
         ::mkfifo(file.c_str(), 0600);
         return file;
       },
       strict, "error:not a regular file"},
      {"directory, regular files only",
       [&] {
         fs::create_directory(file);
         return file;
       },
       strict, "error:Is a directory (os error 21)"},
      {"missing", [&] { return dir / "none"; }, cap4,
       "error:No such file or directory (os error 2)"},
      {"link in the last component, followed",
       [&] {
         write_file(real, "ok");
         fs::create_symlink(real, file);
         return file;
       },
       cap4, "bytes:ok"},
      {"link in the last component, no links",
       [&] {
         write_file(real, "ok");
         fs::create_symlink(real, file);
         return file;
       },
       strict, "error:Too many levels of symbolic links (os error 40)"},
      {"link in a directory component, no links",
       [&] {
         fs::create_directory(real);
         write_file(real / "f", "ok");
         fs::create_directory_symlink(real, file);
         return file / "f";
       },
       strict, "error:Too many levels of symbolic links (os error 40)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(file);
    fs::remove_all(real);
    EXPECT_EQ(outcome(c.arrange(), c.options), c.expected);
  }
}

// One reader kept across changes to the file must answer each time as a
// fresh read would: a descriptor kept from before must never show old bytes.
TEST(FileReadTest, RereaderAnswersEveryReadAsAFreshReadWould) {
  TempDir dir;
  const fs::path file = dir / "file";
  const FileReadOptions cap8{.size_cap = 8};
  app_lib::sys::FileRereader reader(file, cap8);
  const struct {
    const char* name;
    std::function<void()> change;
    std::string expected;
  } steps[] = {
      {"first read", [&] { write_file(file, "one"); }, "bytes:one"},
      {"unchanged", [] {}, "bytes:one"},
      {"rewritten in place, longer", [&] { write_file(file, "three33"); }, "bytes:three33"},
      {"rewritten in place, shorter", [&] { write_file(file, "2"); }, "bytes:2"},
      {"grown past the cap in place", [&] { write_file(file, "123456789"); },
       "error:File too large (os error 27)"},
      {"replaced by rename",
       [&] {
         write_file(dir / "next", "four");
         fs::rename(dir / "next", file);
       },
       "bytes:four"},
      {"removed", [&] { fs::remove(file); }, "error:No such file or directory (os error 2)"},
      {"a FIFO without a writer", [&] { ::mkfifo(file.c_str(), 0600); }, "bytes:"},
      {"a file again",
       [&] {
         fs::remove(file);
         write_file(file, "five");
       },
       "bytes:five"},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    step.change();
    auto bytes = reader.read();
    EXPECT_EQ(bytes ? "bytes:" + *bytes : "error:" + bytes.error().text(), step.expected);
    EXPECT_EQ(outcome(file, cap8), step.expected);
  }
}

}  // namespace
}  // namespace nimbletrace_test
