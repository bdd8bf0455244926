#pragma once

#include "bridge/BridgeCall.h"
#include "common/ToolResult.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace vantrel::tools {

// get_guide's action: read agent-guide.md from the support directory, not the Bridge.
struct ReadGuide {
  friend bool operator==(const ReadGuide&, const ReadGuide&) = default;
};

// What a tool decided to do with its arguments, before anything touches a file or the network:
// answer at once (a rejected argument), read the guide, or make one Bridge request.
struct Plan {
  std::variant<ToolResult, ReadGuide, bridge::BridgeCall> action;
  // get_asset: the card whose successful reply transcript tracking reads.
  std::optional<std::string> transcriptOf;

  static Plan answer(ToolResult result) { return {std::move(result), std::nullopt}; }
  static Plan ask(bridge::BridgeCall call) { return {std::move(call), std::nullopt}; }
  Plan tracksTranscriptOf(std::string shortID) && {
    transcriptOf = std::move(shortID);
    return std::move(*this);
  }

  friend bool operator==(const Plan&, const Plan&) = default;
};

// What a plan may read besides the arguments: the one piece of state the registry shares.
struct CallContext {
  std::optional<std::string> clientName; // the agent host's name from initialize, if any
};

// One tool: its catalogue entry and the pure function from its arguments to its plan.
struct Tool {
  const char* name;
  const char* description;
  const char* inputSchema; // JSON text, so it reads exactly as it is served
  Plan (*plan)(const nlohmann::json& arguments, const CallContext& context);
};

} // namespace vantrel::tools
