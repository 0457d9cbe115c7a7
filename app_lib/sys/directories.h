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
// is decided by stat, never by the error mkdir gave for it: systems disagree
// on that error (XNU before xnu-8792 answers mkdir("/") with EISDIR,
// bsd/vfs/vfs_lookup.c lookup_handle_emptyname; Linux says EEXIST). The error
// is the system error text alone.
Result<void> make_directories(const std::filesystem::path& dir, mode_t mode);

}  // namespace app_lib::sys
