#pragma once

#include "Library.h"
#include "Reply.h"

#include <filesystem>
#include <mutex>
#include <string>

namespace vantrel::hostsim {

inline constexpr std::string_view kDeliverMarker = "<!-- vantrel:deliver -->";

// AI worksheets: Markdown snapshots of a card in one folder, each ending with the delivery
// marker; settling turns what was written below the marker into an AI-board note.
class Worksheets {
public:
  Worksheets(Library& library, std::filesystem::path folder);

  // GET /ai/export?shortID=X: {"path","shortID"}; 404 for an unknown card.
  Reply exportCard(const std::string& shortID);
  // POST /ai/settle: {"recovered","skipped","failures"}.
  Reply settle();

private:
  Library& library_;
  const std::filesystem::path folder_;
  // One settle or export at a time, so no delivery is collected twice or pruned mid-read.
  std::mutex lock_;
};

} // namespace vantrel::hostsim
