// AI worksheets: the Bridge exports a card as a file and later settles what the agent wrote.
#include "tools/Args.h"
#include "tools/ToolRegistry.h"
#include "tools/ToolSupport.h"

namespace vantrel::tools {

using nlohmann::json;

ToolResult ToolRegistry::aiExport(const json& arguments) {
  auto shortID = shortIdArg(arguments);
  if (!shortID)
    return missingShortID();
  // The card travels in the query, where the client encodes it as a value.
  return client_.get("/ai/export", {{"shortID", *shortID}});
}

ToolResult ToolRegistry::aiSettle(const json&) {
  return client_.post("/ai/settle", json::object());
}

} // namespace vantrel::tools
