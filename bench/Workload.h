#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel::bench {

// Request lines as an agent host would send them, line feed included.
std::string initializeLine(std::int64_t id);
std::string pingLine(std::int64_t id);
std::string getAssetLine(std::int64_t id, std::string_view shortID);

// The short ID the i-th call asks for: a spread of cards, so no reply is simply repeated.
std::string shortIdFor(std::int64_t i);

// Checks on one reply line. Each is false for a line that is not JSON or answers another id.
bool isInitializeReply(std::string_view line, std::int64_t id);
bool isPingReply(std::string_view line, std::int64_t id);

// The id of a JSON-RPC 2.0 reply line (one with a result or an error) when it is an integer;
// nothing for any other line.
std::optional<std::int64_t> replyId(std::string_view line);

// For a tool-call reply: its id and the text of a successful result; empty when the line is
// not a successful tool-call result.
struct ToolReply {
  nlohmann::json id;
  std::string text;
};
std::optional<ToolReply> parseToolReply(std::string_view line);

} // namespace vantrel::bench
