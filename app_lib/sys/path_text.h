#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "app_lib/sys/fd.h"
#include "app_lib/sys/file_identity.h"
#include "app_lib/sys/result.h"

namespace app_lib::sys {

// A path as it appears inside a message: its bytes as text, with sequences
// that are not UTF-8 replaced by U+FFFD.
std::string path_text(const std::filesystem::path& path);

// realpath(3): absolute, every symbolic link and "."/".." resolved; the target
// must exist. The error is the system error text alone.
Result<std::filesystem::path> canonicalize(const std::filesystem::path& path);

// canonicalize for a path a client names, to be resolved with the client's
// rights: a path whose resolution reaches the kernel's process file system
// anywhere (Linux /proc, by its name, a link, a mount or "..") fails with
// EACCES's text before anything there is looked up, so what the service's
// own process entries hold is never told apart. macOS has no such file
// system.
Result<std::filesystem::path> canonicalize_outside_proc(const std::filesystem::path& path);

// canonicalize, and which file the canonical path named as it was resolved;
// where the kernel resolves the path on a descriptor, that descriptor tells,
// so no second walk of the path is needed.
struct CanonicalFile {
  std::filesystem::path path;
  FileIdentity file;
};
Result<CanonicalFile> canonicalize_file(const std::filesystem::path& path);

// open(2) of an already canonical path that fails if any component is a
// symbolic link, so a link swapped in after the path was resolved is refused
// instead of followed (Linux: openat2 with RESOLVE_NO_SYMLINKS; macOS:
// O_NOFOLLOW_ANY). O_CLOEXEC is always added to `flags`. The error is the
// errno value, for the caller to turn into text.
std::expected<UniqueFd, int> open_without_links(const std::filesystem::path& canonical, int flags);

// Equality component by component; for canonical paths this is byte equality.
bool same_components(const std::filesystem::path& a, const std::filesystem::path& b);

// stat(2) following symbolic links; any error counts as absent.
bool exists_following_links(const std::filesystem::path& path);

// The file a path leads to, following symbolic links, from one stat(2);
// nullopt on any error.
std::optional<FileIdentity> identity_following_links(const std::filesystem::path& path);

}  // namespace app_lib::sys
