#pragma once

#include "common/Json.h"

#include <map>
#include <optional>
#include <string>
#include <utility>

namespace vantrel::bridge {

// Query parameters of a GET; std::map keeps them in ascending key order, as they go out.
using Query = std::map<std::string, std::string>;

// One logical request to the Bridge as a tool decides it, before credentials or sockets.
struct BridgeCall {
  std::string method; // "GET" or "POST"
  std::string path;   // begins with "/"; encoded when the request is formed
  Query query;
  // The JSON body of a POST, as compact text. Empty text when the body could not be written: the
  // request then goes without one and still says application/json.
  std::optional<std::string> jsonBody;

  static BridgeCall get(std::string path, Query query = {}) {
    return {"GET", std::move(path), std::move(query), std::nullopt};
  }
  static BridgeCall post(std::string path, const nlohmann::json& body) {
    return {"POST", std::move(path), {}, dumpJson(body).value_or(std::string())};
  }

  friend bool operator==(const BridgeCall&, const BridgeCall&) = default;
};

} // namespace vantrel::bridge
