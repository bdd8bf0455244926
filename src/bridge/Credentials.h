#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vantrel::bridge {

// Where the Bridge listens and the bearer token it accepts, as read from bridge.token. Only the
// Bridge client uses this; nothing read here is kept beyond one logical request.
struct Credentials {
  std::string baseURL; // "http://127.0.0.1:" + port, no trailing "/"
  std::string token;   // exactly as the file holds it; may be empty

  friend bool operator==(const Credentials&, const Credentials&) = default;
};

// The credentials in the bytes of one bridge.token, or nothing when that file is unusable: not a
// JSON object, `port` not an integral number in 1..65535, `token` not a string or holding a
// CR, LF or NUL. Pure; any thread.
std::optional<Credentials> parseCredentials(std::string_view bytes);

// The credentials from the first usable bridge.token among the candidate places, read afresh.
// Nothing when no candidate is usable. Any thread.
std::optional<Credentials> readCredentials();

} // namespace vantrel::bridge
