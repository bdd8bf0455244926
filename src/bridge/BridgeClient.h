#pragma once

#include "common/ToolResult.h"

#include <nlohmann/json.hpp>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel::bridge {

struct Credentials;
class HttpTransport;

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
  // Talks to the Bridge over the process-wide libcurl transport.
  BridgeClient();
  // Talks through `transport` instead; tests and fuzzers use this to run without sockets.
  explicit BridgeClient(std::shared_ptr<const HttpTransport> transport);

  ToolResult get(const std::string& path, const Query& query) const;
  ToolResult post(const std::string& path, const nlohmann::json& body) const;

private:
  struct Attempt;

  ToolResult request(std::string_view method, const std::string& path, const Query& query,
                     const nlohmann::json* body) const;
  Attempt perform(const Credentials& credentials, std::string_view method, const std::string& path,
                  const Query& query, const nlohmann::json* body) const;

  std::shared_ptr<const HttpTransport> transport_; // shared and thread-safe; copies are cheap
};

} // namespace vantrel::bridge
