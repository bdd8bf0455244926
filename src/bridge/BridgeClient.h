#pragma once

#include "common/ToolResult.h"

#include <nlohmann/json.hpp>

#include <map>
#include <string>

namespace vantrel::bridge {

// Query parameters of a GET; std::map keeps them in ascending key order, as they go out.
using Query = std::map<std::string, std::string>;

// Call once from main before any thread starts (libcurl's global set-up is not thread-safe).
void globalInit();

// The tools' only road to the host app's Bridge. Stateless from the caller's view: every request
// reads bridge.token afresh, makes one attempt and at most one retry (after a transport failure
// or a 401, with the credentials read again), and turns every outcome into a ToolResult.
// Blocking; safe to call from many threads at once. Never throws, never logs.
class BridgeClient {
 public:
  ToolResult get(const std::string& path, const Query& query) const;
  ToolResult post(const std::string& path, const nlohmann::json& body) const;
};

} // namespace vantrel::bridge
