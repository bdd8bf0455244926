#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace vantrel::hostsim {

// What one Bridge endpoint answers: an HTTP status and a JSON body. Rules return these as
// values, so the HTTP layer only copies them onto the wire.
struct Reply {
  int status = 200;
  nlohmann::json body = nlohmann::json::object();

  static Reply ok(nlohmann::json body) { return {200, std::move(body)}; }
  static Reply fail(int status, std::string message) {
    return {status, {{"error", std::move(message)}}};
  }
};

// Replies leave as text; invalid UTF-8 is replaced rather than allowed to throw.
inline std::string serialize(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace vantrel::hostsim
