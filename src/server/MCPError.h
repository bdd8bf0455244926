#pragma once

#include <string>
#include <utility>

namespace vantrel::server {

// A JSON-RPC error, passed by value and never thrown. These two are the only codes written.
struct MCPError {
  int code = 0;
  std::string message;

  static MCPError parseError(std::string message) { return {-32700, std::move(message)}; }
  static MCPError methodNotFound(std::string message) { return {-32601, std::move(message)}; }
};

} // namespace vantrel::server
