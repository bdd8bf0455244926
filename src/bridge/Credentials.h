#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace vantrel::bridge {

// A bridge.token longer than this is not one the host app wrote; it is unusable, and reading
// stops there, so a huge or endless file costs no more than this.
inline constexpr std::size_t kMaxTokenFileBytes = 64 * 1024;

// Where the Bridge listens and the bearer token it accepts, as read from bridge.token. Only the
// Bridge client uses this; nothing read here is kept beyond one logical request.
struct Credentials {
  std::string token; // exactly as the file holds it; may be empty
  int port = 0;      // 1..65535, on 127.0.0.1

  friend bool operator==(const Credentials&, const Credentials&) = default;
};

// Why the bytes of one bridge.token give no credentials.
enum class TokenProblem {
  notJson,           // not one JSON document (a NUL byte included)
  notAnObject,       // the top level is an array or a scalar
  noPort,            // `port` missing, or not a number with an integral value
  portOutOfRange,    // `port` outside 1..65535: no reachable service
  noToken,           // `token` missing, or not a string
  tokenHasLineBreak, // `token` holds a CR, LF or NUL, which would end its header line
};

// The credentials in the bytes of one bridge.token, or why there are none. Pure; any thread.
std::variant<Credentials, TokenProblem> parseCredentials(std::string_view bytes);

// What one candidate bridge.token came to.
struct TokenFile {
  enum class Status { missing, unreadable, tooLarge, noResources, unusable, usable };
  std::string path;
  Status status = Status::missing;
  TokenProblem problem = TokenProblem::notJson; // meaningful when unusable
  int error = 0;                                // errno when unreadable or noResources
  std::optional<Credentials> credentials;       // when usable
};

// Reads and judges the bridge.token at `path`. A directory or special file counts as unreadable.
// Any thread.
TokenFile examineTokenFile(const std::string& path);

struct CredentialsLookup {
  std::optional<Credentials> credentials;
  // When there are none: the first candidate that could not be read for lack of descriptors or
  // memory, so that the caller does not blame a host app that may well be running.
  std::optional<TokenFile> shortage;
};

// The credentials from the first usable bridge.token among the candidate places, read afresh.
// Any thread.
CredentialsLookup readCredentials();

} // namespace vantrel::bridge
