#pragma once

#include "StopSignal.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <optional>
#include <ostream>
#include <string>

namespace vantrel::demo {

// A scripted agent talking to a running vantrel-mcp over its stdin and stdout: the handshake,
// the catalogue, then one card taken from search to a settled worksheet. Every step is printed
// to `out` as the call and an excerpt of its reply. A tool answering with an error ends the
// script: the demo doubles as a smoke test of the whole road.
class AgentSession {
public:
  AgentSession(ChildProcess& server, std::ostream& out, std::chrono::milliseconds replyTimeout)
      : server_(server), out_(out), replyTimeout_(replyTimeout) {}

  // Nothing when every step worked, else what went wrong. Leaves the server running.
  std::optional<std::string> run();

private:
  struct Card {
    std::string shortID;
    std::string title;
    double durationSeconds = 0;
  };

  std::optional<nlohmann::json> request(const std::string& method, const nlohmann::json& params);
  // The reply text of a successful tool call; nothing (and failure_ set) otherwise.
  std::optional<std::string> callTool(const std::string& name, const nlohmann::json& arguments);
  std::optional<nlohmann::json> callToolForJson(const std::string& name,
                                                const nlohmann::json& arguments);
  bool fail(std::string message);

  bool handshake();
  std::optional<Card> pickVideoCard();
  std::optional<double> lookAtFrames(const Card& card);
  bool writeBack(const Card& card, double frameSeconds);
  bool deliverThroughWorksheet(const Card& card);

  ChildProcess& server_;
  std::ostream& out_;
  std::chrono::milliseconds replyTimeout_;
  int nextId_ = 1;
  int step_ = 0;
  std::string failure_;
};

} // namespace vantrel::demo
