#pragma once

#include "common/ToolResult.h"

#include <cstddef>

namespace vantrel::bridge {

// A guide longer than this is not one the host app wrote; reading stops there.
inline constexpr std::size_t kMaxGuideBytes = 16 * 1024 * 1024;

struct AgentGuideReader {
  // The text of the first readable, valid UTF-8 agent-guide.md among the two candidate places,
  // exactly as stored, or the not-found message; both are successes. A failure only when a guide
  // is there but cannot be read: it is over kMaxGuideBytes, or this process has no descriptor or
  // memory left to read it. Reads afresh on every call; any thread.
  static ToolResult load();
};

} // namespace vantrel::bridge
