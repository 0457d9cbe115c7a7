#include <grp.h>
#include <pwd.h>

#include <optional>
#include <set>
#include <string>

#include "tests/support/test_support.h"

namespace nimbletrace_test {
namespace {

std::set<gid_t> primary_groups() {
  std::set<gid_t> groups;
  ::setpwent();
  while (const passwd* entry = ::getpwent()) groups.insert(entry->pw_gid);
  ::endpwent();
  return groups;
}

}  // namespace

std::optional<gid_t> group_nobody_holds() {
  const std::set<gid_t> primary = primary_groups();
  for (gid_t gid = 47000; gid < 48000; ++gid) {
    if (::getgrgid(gid) == nullptr && !primary.contains(gid)) return gid;
  }
  return std::nullopt;
}

std::optional<std::pair<gid_t, std::string>> group_with_a_member() {
  const std::set<gid_t> primary = primary_groups();
  std::optional<std::pair<gid_t, std::string>> found;
  ::setgrent();
  while (const group* entry = ::getgrent()) {
    if (entry->gr_mem != nullptr && entry->gr_mem[0] != nullptr &&
        !primary.contains(entry->gr_gid)) {
      found.emplace(entry->gr_gid, entry->gr_mem[0]);
      break;
    }
  }
  ::endgrent();
  return found;
}

}  // namespace nimbletrace_test
