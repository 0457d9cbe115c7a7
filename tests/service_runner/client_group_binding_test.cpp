#include "app_lib/service_runner/client_group_binding.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
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

// The bit binds only where exec gives the group, and only to a group nobody
// could have otherwise.
TEST_F(ClientGroupBindingTest, BindsOnlyASetGroupIdClientOfAGroupNobodyHolds) {
  struct Case {
    const char* name;
    bool free_group;  // otherwise group 0, root's primary group
    mode_t mode;
    bool bound;
    bool told;
  };
  const Case cases[] = {
      {"plain client", true, 0755, false, false},
      {"set-group-ID, group nobody holds", true, 02755, true, false},
      {"set-group-ID without group execute (Linux ignores the bit)", true, 02745, false, false},
      {"set-group-ID to root's primary group", false, 02755, false, true},
      {"set-user-ID only", true, 04755, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClientGroupBinding binding;
    install(c.free_group ? free_group_ : 0, c.mode);
    const auto look = binding.look(client_);
    EXPECT_EQ(look.required_group,
              c.bound ? std::optional<gid_t>(free_group_) : std::optional<gid_t>());
    EXPECT_EQ(look.notice.has_value(), c.told) << look.notice.value_or("");
  }
}

// The user database is consulted, and the finding told, only when the file
// changes; a change is seen at the next look, either way.
TEST_F(ClientGroupBindingTest, FindingIsToldOnceAndRevisedWhenTheFileChanges) {
  ClientGroupBinding binding;
  install(0, 02755);
  const auto first = binding.look(client_);
  ASSERT_TRUE(first.notice.has_value());
  EXPECT_EQ(*first.notice,
            "nimbletrace-service: the authorized client is set-group-ID to group 0, which user "
            "root holds; connections are not bound to it\n");
  for (int i = 0; i < 3; ++i) {
    const auto again = binding.look(client_);
    EXPECT_FALSE(again.notice.has_value());
    EXPECT_FALSE(again.required_group.has_value());
  }

  install(free_group_, 02755);
  EXPECT_EQ(binding.look(client_).required_group, std::optional<gid_t>(free_group_));
  ASSERT_EQ(::chmod(client_.c_str(), 0755), 0);
  EXPECT_FALSE(binding.look(client_).required_group.has_value());

  // Another file put in its place, as an installer renames a new one in.
  const fs::path next = dir_ / "next";
  nimbletrace_test::write_file(next, "#!/bin/sh\n");
  ASSERT_EQ(::chown(next.c_str(), 0, free_group_), 0);
  ASSERT_EQ(::chmod(next.c_str(), 02755), 0);
  fs::rename(next, client_);
  EXPECT_EQ(binding.look(client_).required_group, std::optional<gid_t>(free_group_));

  fs::remove(client_);
  EXPECT_FALSE(binding.look(client_).required_group.has_value());
}

}  // namespace
}  // namespace app_lib::service_runner
