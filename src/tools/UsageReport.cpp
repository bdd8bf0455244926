#include "tools/UsageReport.h"

namespace vantrel::tools {

std::string errorClass(const ToolResult& result) {
  if (!result.isError)
    return "none";
  switch (result.status) {
  case 0:
    return "client_arg";
  case 400:
    return "bad_request";
  case 401:
    return "auth";
  case 404:
    return "not_found";
  case 409:
    return "conflict";
  case 413:
    return "payload";
  case 500:
    return "server";
  default:
    return "http" + std::to_string(result.status);
  }
}

nlohmann::json usageReport(const std::string& tool, const ToolResult& result, std::int64_t durMs,
                           bool hadTranscript) {
  nlohmann::json report = {{"tool", tool},
                           {"ok", !result.isError},
                           {"status", result.status},
                           {"durMs", durMs},
                           {"err", errorClass(result)}};
  if (hadTranscript)
    report["hadTranscript"] = true;
  return report;
}

} // namespace vantrel::tools
