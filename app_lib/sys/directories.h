#pragma once

#include <sys/types.h>

#include <filesystem>

#include "app_lib/sys/result.h"

namespace app_lib::sys {

// Mode for the parents the service creates: never writable by anyone but
// their owner, whatever the umask allows, since the service trusts what it
// later finds in them.
inline constexpr mode_t NEW_PARENT_DIRECTORY_MODE = 0755;

// mkdir -p: creates `dir` and every missing parent with `mode` less the umask.
// A component that already is a directory is accepted, also when another
// process creates it at the same moment. Whether something is already there
// is decided by stat, never by the error mkdir gave for it: EEXIST stands as
// much for a file or a link as for a directory, and XNU's answer for a name
// that exists depends on the name (mkdir1at, bsd/vfs/vfs_syscalls.c, answers
// EEXIST; lookup_handle_emptyname, bsd/vfs/vfs_lookup.c, EISDIR for "/" up
// to xnu-8020). The error is the system error text alone.
Result<void> make_directories(const std::filesystem::path& dir, mode_t mode);

}  // namespace app_lib::sys
