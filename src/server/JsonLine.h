#pragma once

#include "bridge/JsonText.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace vantrel::server {

// Deeper input is refused as unparseable: the serializer recurses once per level, on worker
// threads with bounded stacks, and no honest request comes near this.
inline constexpr int kMaxNesting = static_cast<int>(bridge::kMaxDumpDepth);

// Decodes one input line into a JSON object: invalid UTF-8 becomes U+FFFD first (the line is
// changed in place). Nothing when the line is not JSON, is nested deeper than kMaxNesting, or
// its top level is not an object.
std::optional<nlohmann::json> parseRequestLine(std::string& line);

// Compact JSON text of a message, or nothing when it cannot be written as valid JSON (a string
// that is not UTF-8, a number that is not finite).
std::optional<std::string> serializeLine(const nlohmann::json& message);

} // namespace vantrel::server
