#pragma once

#include "common/JsonText.h"

#include <mutex>
#include <set>
#include <string>
#include <string_view>

namespace vantrel::tools {

// The cards the agent has been shown with a transcript: a successful get_asset reply that is a
// JSON object with a member "transcriptText" (whatever its value) records its card for the life
// of the process. The usage report of extract_audio asks about it. Any thread.
class TranscriptTracker {
public:
  // Records `shortID` when `replyText` carries a transcript. The reply is read outside the lock;
  // only the insertion holds it.
  void noteIfPresent(const std::string& shortID, const JsonText& replyText);
  bool knows(const std::string& shortID) const;

private:
  mutable std::mutex knownLock_; // guards transcriptKnownAssets_ only, one set operation at a time
  std::set<std::string> transcriptKnownAssets_;
};

} // namespace vantrel::tools
