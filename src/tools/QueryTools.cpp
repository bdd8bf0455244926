// Library queries: get_guide, search_assets, get_asset, get_events.
#include "bridge/AgentGuideReader.h"
#include "tools/Args.h"
#include "tools/ToolRegistry.h"
#include "tools/ToolSupport.h"

namespace vantrel::tools {

using nlohmann::json;

ToolResult ToolRegistry::getGuide(const json&) {
  return ToolResult::ok(bridge::AgentGuideReader::load());
}

ToolResult ToolRegistry::searchAssets(const json& arguments) {
  bridge::Query query;
  // Strings go through as sent: empty ones too, and values outside the listed enums; the
  // Bridge is the judge of them.
  for (const char* key : {"query", "mediaKind", "tag", "sortKey"}) {
    if (auto value = stringArg(key, arguments))
      query[key] = *value;
  }
  // Only true is ever sent: leaving the key out is how "false" reads.
  for (const char* key : {"hasNotes", "ascending"}) {
    if (boolArg(key, arguments) == true)
      query[key] = "true";
  }
  // No default and no bounds here: the Bridge owns both.
  for (const char* key : {"limit", "offset"}) {
    if (auto value = intArg(key, arguments))
      query[key] = std::to_string(*value);
  }
  return client_.get("/assets", query);
}

ToolResult ToolRegistry::getAsset(const json& arguments) {
  auto shortID = shortIdArg(arguments);
  if (!shortID)
    return missingShortID();
  ToolResult result = client_.get(assetPath(*shortID), {});
  if (!result.isError)
    noteTranscriptIfPresent(*shortID, result.text);
  return result;
}

ToolResult ToolRegistry::getEvents(const json& arguments) {
  bridge::Query query;
  if (auto since = intArg("since", arguments))
    query["since"] = std::to_string(*since);
  return client_.get("/events", query);
}

} // namespace vantrel::tools
