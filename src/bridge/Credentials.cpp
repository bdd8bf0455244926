#include "bridge/Credentials.h"

#include "bridge/FileBytes.h"
#include "bridge/StorePaths.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>

namespace vantrel::bridge {
namespace {

constexpr std::int64_t kLowestPort = 1;
constexpr std::int64_t kHighestPort = 65535;

// An integral JSON number, whichever way the writer stored it: 8080 and 8080.0 both count.
std::optional<std::int64_t> integralMember(const nlohmann::json& doc, const char* key) {
  auto it = doc.find(key);
  if (it == doc.end())
    return std::nullopt;
  if (it->is_number_unsigned()) {
    auto value = it->get<std::uint64_t>();
    if (value > static_cast<std::uint64_t>(INT64_MAX))
      return std::nullopt;
    return static_cast<std::int64_t>(value);
  }
  if (it->is_number_integer())
    return it->get<std::int64_t>();
  if (it->is_number_float()) {
    double value = it->get<double>();
    // Bounds are checked before the cast, which would be undefined outside the range.
    if (!std::isfinite(value) || std::trunc(value) != value)
      return std::nullopt;
    if (value < -9.2e18 || value > 9.2e18)
      return std::nullopt;
    return static_cast<std::int64_t>(value);
  }
  return std::nullopt;
}

} // namespace

std::optional<Credentials> parseCredentials(std::string_view bytes) {
  auto doc = nlohmann::json::parse(bytes, nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded() || !doc.is_object())
    return std::nullopt;

  auto port = integralMember(doc, "port");
  // Outside 1..65535 "http://127.0.0.1:<port>" names no reachable service.
  if (!port || *port < kLowestPort || *port > kHighestPort)
    return std::nullopt;

  auto token = doc.find("token");
  if (token == doc.end() || !token->is_string())
    return std::nullopt;
  const auto& text = token->get_ref<const std::string&>();
  // The token goes into a header line verbatim; a line break or NUL would let the file smuggle
  // further headers into every request.
  if (text.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
    return std::nullopt;

  return Credentials{"http://127.0.0.1:" + std::to_string(*port), text};
}

std::optional<Credentials> readCredentials() {
  // First usable file wins: a damaged token file must not hide a good one.
  for (const auto& candidate : StorePaths::resolveCandidates("bridge.token")) {
    auto bytes = readWholeFile(candidate);
    if (!bytes)
      continue;
    if (auto credentials = parseCredentials(*bytes))
      return credentials;
  }
  return std::nullopt;
}

} // namespace vantrel::bridge
