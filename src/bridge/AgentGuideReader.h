#pragma once

#include <string>

namespace vantrel::bridge {

struct AgentGuideReader {
  // The text of the first readable, valid UTF-8 agent-guide.md among the two candidate places,
  // exactly as stored, or the not-found message. Reads the file afresh on every call; any thread.
  static std::string load();
};

} // namespace vantrel::bridge
