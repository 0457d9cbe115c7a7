#include "app_lib/service_runner/client_group_binding.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "tests/support/test_support.h"

namespace app_lib::service_runner {
namespace {

namespace fs = std::filesystem;
using nimbletrace_test::TempDir;

class ClientGroupBindingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "giving a file a group of no user's takes root";
    const auto free_group = nimbletrace_test::group_nobody_holds();
    if (!free_group) GTEST_SKIP() << "every gid from 47000 to 47999 is in the user database";
    free_group_ = *free_group;
    client_ = dir_ / "client";
    nimbletrace_test::write_file(client_, "#!/bin/sh\n");
  }

  void install(gid_t group, mode_t mode) {
    ASSERT_EQ(::chown(client_.c_str(), 0, group), 0);
    // chown clears the set-group-ID bit, so the mode comes after it.
    ASSERT_EQ(::chmod(client_.c_str(), mode), 0);
  }

  TempDir dir_;
  fs::path client_;
  gid_t free_group_ = 0;
};

// One binding follows the file through a series of changes: the bit binds
// only where exec gives the group, and only to a group nobody could have
// otherwise; a change is seen at the next look, and what is wrong is told
// once per change.
TEST_F(ClientGroupBindingTest, BindsOnlyASetGroupIdClientOfAGroupNobodyHoldsAndFollowsItsChanges) {
  const fs::path next = dir_ / "next";
  struct Case {
    const char* name;
    std::function<void()> change;
    bool bound;
    const char* told;
  };
  const Case cases[] = {
      {"plain client", [&] { install(free_group_, 0755); }, false, nullptr},
      {"set-group-ID without group execute (Linux ignores the bit)",
       [&] { install(free_group_, 02745); }, false, nullptr},
      {"set-user-ID only", [&] { install(free_group_, 04755); }, false, nullptr},
      {"set-group-ID to root's primary group", [&] { install(0, 02755); }, false,
       "nimbletrace-service: the authorized client is set-group-ID to group 0, which user root "
       "holds; connections are not bound to it\n"},
      {"the same file looked at again", [] {}, false, nullptr},
      {"set-group-ID, group nobody holds", [&] { install(free_group_, 02755); }, true, nullptr},
      {"the bit taken away", [&] { ASSERT_EQ(::chmod(client_.c_str(), 0755), 0); }, false, nullptr},
      // As an installer renames a new file in.
      {"another file put in its place",
       [&] {
         nimbletrace_test::write_file(next, "#!/bin/sh\n");
         ASSERT_EQ(::chown(next.c_str(), 0, free_group_), 0);
         ASSERT_EQ(::chmod(next.c_str(), 02755), 0);
         fs::rename(next, client_);
       },
       true, nullptr},
      {"the file removed", [&] { fs::remove(client_); }, false, nullptr},
  };
  ClientGroupBinding binding;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.change();
    const auto look = binding.look(client_);
    EXPECT_EQ(look.required_group,
              c.bound ? std::optional<gid_t>(free_group_) : std::optional<gid_t>());
    EXPECT_EQ(look.notice, c.told ? std::optional<std::string>(c.told) : std::nullopt);
  }
}

}  // namespace
}  // namespace app_lib::service_runner
