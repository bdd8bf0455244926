#include "tools/TranscriptTracker.h"

#include "common/Json.h"

namespace vantrel::tools {

void TranscriptTracker::noteIfPresent(const std::string& shortID, const JsonText& replyText) {
  if (!hasTopLevelMember(replyText, "transcriptText"))
    return; // not JSON, not an object, or no transcript: nothing to record
  std::lock_guard lock(knownLock_);
  transcriptKnownAssets_.insert(shortID);
}

bool TranscriptTracker::knows(const std::string& shortID) const {
  std::lock_guard lock(knownLock_);
  return transcriptKnownAssets_.count(shortID) > 0;
}

} // namespace vantrel::tools
