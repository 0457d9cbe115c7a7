#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "app_lib/sys/result.h"

namespace app_lib::sys {

// A user who holds `group`, as the user database has it: the first whose
// primary group it is (every entry getpwent gives), else its first listed
// member (getgrgid); nullopt when nobody does, a group the database does
// not know included. The error is the system error text of a group lookup
// that failed. Scans the whole user database: not for every connection.
// Not thread-safe (getpwent keeps its place per process).
Result<std::optional<std::string>> user_holding_group(gid_t group);

}  // namespace app_lib::sys
