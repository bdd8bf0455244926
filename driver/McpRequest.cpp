#include "driver/McpRequest.h"

namespace vantrel::driver {

nlohmann::json mcpRequest(const nlohmann::json& id, std::string_view method,
                          const nlohmann::json& params) {
  nlohmann::json request = {{"jsonrpc", "2.0"}, {"id", id}, {"method", method}};
  if (!params.is_null())
    request["params"] = params;
  return request;
}

nlohmann::json initializeRequest(const nlohmann::json& id, std::string_view clientName) {
  return mcpRequest(id, "initialize",
                    {{"protocolVersion", "2024-11-05"},
                     {"capabilities", nlohmann::json::object()},
                     {"clientInfo", {{"name", clientName}, {"version", "1.0.0"}}}});
}

nlohmann::json toolCallRequest(const nlohmann::json& id, std::string_view name,
                               const nlohmann::json& arguments) {
  return mcpRequest(id, "tools/call", {{"name", name}, {"arguments", arguments}});
}

} // namespace vantrel::driver
