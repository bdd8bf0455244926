#pragma once

#include "bridge/BridgeClient.h"
#include "common/ToolResult.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace vantrel::tools {

// The one object that knows the thirteen tools: serves the catalogue, runs a call by name,
// and holds what the tools share for the life of the process (the Bridge client, the agent
// host's name, the cards seen with a transcript). One per server; calls arrive from many
// threads at once.
class ToolRegistry {
public:
  ToolRegistry() = default;
  explicit ToolRegistry(bridge::BridgeClient client) : client_(std::move(client)) {}

  // The catalogue, in its fixed order, built afresh on every read.
  nlohmann::json definitions() const;

  // Runs the tool and posts its usage report without waiting for it. Always one result,
  // whatever the name or arguments; never throws. Any thread.
  ToolResult call(const std::string& name, const nlohmann::json& arguments) noexcept;

  // The agent host's name from the last initialize that carried clientInfo. A call sees either
  // the name before or after a concurrent change.
  std::optional<std::string> clientName() const;
  void setClientName(std::optional<std::string> name);

private:
  using Clock = std::chrono::steady_clock;
  using Handler = ToolResult (ToolRegistry::*)(const nlohmann::json& arguments);
  static Handler handlerFor(const std::string& name);

  ToolResult dispatch(const std::string& name, const nlohmann::json& arguments);
  void emitTelemetry(const std::string& tool, const ToolResult& result, Clock::time_point start,
                     const nlohmann::json& arguments);
  void noteTranscriptIfPresent(const std::string& shortID, const std::string& replyText);
  bool hasKnownTranscript(const std::string& shortID);

  // Library queries.
  ToolResult getGuide(const nlohmann::json& arguments);
  ToolResult searchAssets(const nlohmann::json& arguments);
  ToolResult getAsset(const nlohmann::json& arguments);
  ToolResult getEvents(const nlohmann::json& arguments);
  // Imports and notes: the arguments travel to the Bridge as they came.
  ToolResult importFromLink(const nlohmann::json& arguments);
  ToolResult importFile(const nlohmann::json& arguments);
  ToolResult createGallery(const nlohmann::json& arguments);
  ToolResult addNote(const nlohmann::json& arguments);
  ToolResult saveTranscript(const nlohmann::json& arguments);
  // Media extraction.
  ToolResult extractAudio(const nlohmann::json& arguments);
  ToolResult extractFrames(const nlohmann::json& arguments);
  // AI worksheets.
  ToolResult aiExport(const nlohmann::json& arguments);
  ToolResult aiSettle(const nlohmann::json& arguments);

  bridge::BridgeClient client_;

  mutable std::mutex clientNameLock_; // guards clientName_ only
  std::optional<std::string> clientName_;

  std::mutex knownLock_; // guards transcriptKnownAssets_ only, for one set operation at a time
  std::set<std::string> transcriptKnownAssets_;
};

} // namespace vantrel::tools
