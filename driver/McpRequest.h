#pragma once

#include <nlohmann/json.hpp>

#include <string_view>

namespace vantrel::driver {

// A JSON-RPC 2.0 request as an agent host sends it: `id`, `method` and, when given, `params`.
nlohmann::json mcpRequest(const nlohmann::json& id, std::string_view method,
                          const nlohmann::json& params = nullptr);

// The initialize request, from a client of the given name.
nlohmann::json initializeRequest(const nlohmann::json& id, std::string_view clientName);

// A tools/call of `name` with `arguments`.
nlohmann::json toolCallRequest(const nlohmann::json& id, std::string_view name,
                               const nlohmann::json& arguments);

} // namespace vantrel::driver
