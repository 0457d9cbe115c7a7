#include "app_lib/sys/user_database.h"

#include <grp.h>

#include <optional>
#include <string>

#include "tests/support/test_support.h"

namespace app_lib::sys {
namespace {

// A group is held through a user's primary group or a member list; a gid
// the database does not know is held by nobody.
TEST(UserDatabaseTest, TellsWhoHoldsAGroup) {
  struct Case {
    std::string name;
    gid_t group;
    std::optional<std::string> holder;
  };
  std::vector<Case> cases{{"root's primary group", 0, "root"}};
  if (const auto free_group = nimbletrace_test::group_nobody_holds()) {
    cases.push_back({"a gid in no entry", *free_group, std::nullopt});
  }
  if (const auto listed = nimbletrace_test::group_with_a_member()) {
    cases.push_back({"a group listing a member", listed->first, listed->second});
  } else {
    std::printf("no group lists a member here; that row is left out\n");
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto holder = user_holding_group(c.group);
    ASSERT_OK(holder);
    EXPECT_EQ(*holder, c.holder);
  }
}

}  // namespace
}  // namespace app_lib::sys
