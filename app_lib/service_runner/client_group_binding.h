#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace app_lib::service_runner {

// Whether connections are bound to the authorized client's group: when the
// client is installed set-group-ID to a group no user holds, only a process
// that exec'd it, untraced and without a preload, ever has that group, so a
// connection made with it as the effective gid was made by the client
// itself. A group some user holds proves nothing, and binds nothing.
//
// The file is looked at for every connection (one stat); the user database
// is scanned only when the file's identity, mode or group differ from the
// last look. Used by the loop thread only.
class ClientGroupBinding {
 public:
  struct Look {
    // The effective gid a connection must have been made with, if any.
    std::optional<gid_t> required_group;
    // One line for standard error, given only by the look that found the
    // file changed and its group held by a user.
    std::optional<std::string> notice;
  };

  // `authorized_client` is the path authorized-client.path names. A path
  // that cannot be stat'ed binds nothing: the check resolves the same name
  // and refuses every client while it leads nowhere.
  Look look(const std::filesystem::path& authorized_client);

 private:
  struct Seen {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    mode_t mode = 0;
    gid_t group = 0;
    bool operator==(const Seen&) const = default;
  };
  std::optional<Seen> seen_;
  std::optional<gid_t> bound_;
};

}  // namespace app_lib::service_runner
