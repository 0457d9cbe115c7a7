#pragma once

#include <string>
#include <string_view>

#include "app_lib/service_ipc/messages.h"
#include "app_lib/sys/result.h"

namespace app_lib::service_ipc {

// Encoders append compact JSON (no blanks, no trailing line feed) to `out`, so
// callers choose the buffer and its initial capacity. They fail only with the
// encoder's error text.
Result<void> encode_request(const ServiceRunnerRequest& request, std::string& out);
Result<void> encode_response(const StatusResponse& response, std::string& out);

// Strict decoders of one whole JSON text (surrounding JSON whitespace allowed).
// The error text names the member, variant, JSON type or position at fault.
Result<ServiceRunnerRequest> decode_request(std::string_view text);
Result<StatusResponse> decode_response(std::string_view text);

}  // namespace app_lib::service_ipc
