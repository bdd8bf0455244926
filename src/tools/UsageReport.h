#pragma once

#include "bridge/BridgeCall.h"
#include "common/ToolResult.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace vantrel::tools {

// The coarse error class of a result: "none", "client_arg", "bad_request", "auth", "not_found",
// "conflict", "payload", "server", or "http" + status.
std::string errorClass(const ToolResult& result);

// The usage report posted after a tool call. Carries no argument values; "hadTranscript" only
// when true.
nlohmann::json usageReport(const std::string& tool, const ToolResult& result, std::int64_t durMs,
                           bool hadTranscript);

// The POST that delivers a report to "/telemetry".
inline bridge::BridgeCall reportCall(const nlohmann::json& report) {
  return bridge::BridgeCall::post("/telemetry", report);
}

} // namespace vantrel::tools
