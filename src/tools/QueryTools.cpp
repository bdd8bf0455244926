// Library queries: get_guide, search_assets, get_asset, get_events.
#include "tools/Args.h"
#include "tools/ToolPlans.h"

namespace vantrel::tools {

using bridge::BridgeCall;
using nlohmann::json;

ToolResult missingShortID() {
  return ToolResult::fail("缺少参数 shortID");
}

std::string assetPath(std::string_view shortID, std::string_view suffix) {
  std::string path = "/assets/";
  path.append(shortID).append(suffix);
  return path;
}

Plan planGetGuide(const json&, const CallContext&) {
  return {ReadGuide{}, std::nullopt};
}

Plan planSearchAssets(const json& arguments, const CallContext&) {
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
  return Plan::ask(BridgeCall::get("/assets", std::move(query)));
}

Plan planGetAsset(const json& arguments, const CallContext&) {
  auto shortID = shortIdArg(arguments);
  if (!shortID)
    return Plan::answer(missingShortID());
  return Plan::ask(BridgeCall::get(assetPath(*shortID))).tracksTranscriptOf(*shortID);
}

Plan planGetEvents(const json& arguments, const CallContext&) {
  bridge::Query query;
  if (auto since = intArg("since", arguments))
    query["since"] = std::to_string(*since);
  return Plan::ask(BridgeCall::get("/events", std::move(query)));
}

} // namespace vantrel::tools
