// AI worksheets: the Bridge exports a card as a file and later settles what the agent wrote.
#include "tools/Args.h"
#include "tools/ToolPlans.h"

namespace vantrel::tools {

using bridge::BridgeCall;
using nlohmann::json;

Plan planAiExport(const json& arguments, const CallContext&) {
  auto shortID = shortIdArg(arguments);
  if (!shortID)
    return Plan::answer(missingShortID());
  // The card travels in the query, where the client encodes it as a value.
  return Plan::ask(BridgeCall::get("/ai/export", {{"shortID", *shortID}}));
}

Plan planAiSettle(const json&, const CallContext&) {
  return Plan::ask(BridgeCall::post("/ai/settle", json::object()));
}

} // namespace vantrel::tools
