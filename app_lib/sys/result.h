#pragma once

#include <expected>
#include <string>

namespace app_lib {

// Every fallible operation yields its value or a UTF-8 message that the caller
// may put into a response, print, or pass further up.
template <class T>
using Result = std::expected<T, std::string>;

inline std::unexpected<std::string> fail(std::string message) {
  return std::unexpected<std::string>(std::move(message));
}

}  // namespace app_lib
