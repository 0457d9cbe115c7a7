#include "app_lib/service_ipc/wire_names.h"

#include "app_lib/service_ipc/messages.h"

namespace app_lib::service_ipc {

std::string_view status_name(ServiceRunnerStatus status) {
  const auto ordinal = static_cast<std::size_t>(status);
  // A value cast from outside the enumeration has no name; the encoder refuses it.
  return ordinal < wire::STATUS_NAMES.size() ? wire::STATUS_NAMES[ordinal] : std::string_view();
}

std::string_view request_type_name(const ServiceRunnerRequest& request) {
  if (request.valueless_by_exception()) return {};
  return wire::REQUEST_TYPE_NAMES[request.index()];
}

}  // namespace app_lib::service_ipc
