#pragma once

#include "common/ToolResult.h"

#include <cstddef>
#include <string>

namespace vantrel::bridge {

// A guide longer than this is not one the host app wrote; reading stops there.
inline constexpr std::size_t kMaxGuideBytes = 16 * 1024 * 1024;

// What one candidate agent-guide.md came to, judged as get_guide judges it: only a regular file
// of valid UTF-8 no longer than kMaxGuideBytes is served.
struct GuideRead {
  enum class Status { missing, unreadable, notUtf8, tooLarge, noResources, readable };
  Status status = Status::missing;
  std::string text; // the whole file, when readable
  int error = 0;    // errno when unreadable or noResources; 0 for a directory or special file
};

// Reads and judges the agent-guide.md at `path`. Any thread.
GuideRead readGuideFile(const std::string& path);

struct AgentGuideReader {
  // The text of the first readable, valid UTF-8 agent-guide.md among the two candidate places,
  // exactly as stored, or the not-found message; both are successes. A failure only when a guide
  // is there but cannot be read: it is over kMaxGuideBytes, or this process has no descriptor or
  // memory left to read it. Reads afresh on every call; any thread.
  static ToolResult load();
};

} // namespace vantrel::bridge
