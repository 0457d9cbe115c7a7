#include "app_lib/sys/user_database.h"

#include <grp.h>
#include <pwd.h>

#include <cerrno>
#include <vector>

#include "app_lib/sys/sys_error.h"

namespace app_lib::sys {
namespace {

// getpwent's place in the database, rewound on entry and released on every
// way out.
class PasswdScan {
 public:
  PasswdScan() { ::setpwent(); }
  ~PasswdScan() { ::endpwent(); }
  PasswdScan(const PasswdScan&) = delete;
  PasswdScan& operator=(const PasswdScan&) = delete;
  const passwd* next() { return ::getpwent(); }
};

}  // namespace

Result<std::optional<std::string>> user_holding_group(gid_t group) {
  {
    PasswdScan scan;
    while (const passwd* entry = scan.next()) {
      if (entry->pw_gid == group) return std::optional<std::string>(entry->pw_name);
    }
  }
  std::vector<char> buffer(4096);
  for (;;) {
    struct group entry {};
    struct group* found = nullptr;
    const int error = ::getgrgid_r(group, &entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < (std::size_t{1} << 24)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0) return fail(sys_error_text(error));
    if (found == nullptr || found->gr_mem == nullptr || found->gr_mem[0] == nullptr) {
      return std::optional<std::string>();
    }
    return std::optional<std::string>(found->gr_mem[0]);
  }
}

}  // namespace app_lib::sys
