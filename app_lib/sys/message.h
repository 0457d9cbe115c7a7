#pragma once

#include <string>
#include <string_view>

namespace app_lib::sys {

// The two shapes of every message that wraps a failure: "context: cause",
// and "context(value): cause" when the failure is about one value (a path,
// an endpoint).
std::string with_cause(std::string_view context, std::string_view cause);
std::string with_cause(std::string_view context, std::string_view value, std::string_view cause);

}  // namespace app_lib::sys
