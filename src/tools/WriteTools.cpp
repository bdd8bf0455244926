// Tools that write to the library through the Bridge: the three imports and add_note forward
// the agent's arguments untouched; save_transcript checks its two arguments first.
#include "common/Text.h"
#include "tools/Args.h"
#include "tools/ToolPlans.h"

namespace vantrel::tools {

using bridge::BridgeCall;
using nlohmann::json;

Plan planImportFromLink(const json& arguments, const CallContext&) {
  return Plan::ask(BridgeCall::post("/assets/import-link", arguments));
}

Plan planImportFile(const json& arguments, const CallContext&) {
  return Plan::ask(BridgeCall::post("/assets/import-file", arguments));
}

Plan planCreateGallery(const json& arguments, const CallContext&) {
  return Plan::ask(BridgeCall::post("/assets/create-gallery", arguments));
}

Plan planAddNote(const json& arguments, const CallContext& context) {
  // No checks here: a missing card or content is the Bridge's to refuse. A missing or non-string
  // shortID leaves the path with "//notes", which the Bridge answers.
  std::string path = assetPath(stringArg("shortID", arguments).value_or(""), "/notes");
  if (!context.clientName || context.clientName->empty())
    return Plan::ask(BridgeCall::post(std::move(path), arguments));
  json body = arguments;
  body["client"] = *context.clientName;
  return Plan::ask(BridgeCall::post(std::move(path), body));
}

Plan planSaveTranscript(const json& arguments, const CallContext&) {
  auto shortID = shortIdArg(arguments);
  if (!shortID)
    return Plan::answer(missingShortID());
  auto text = stringArg("text", arguments);
  if (!text || isBlank(*text))
    return Plan::answer(ToolResult::fail("缺少参数 text（转写文本不能为空）"));
  // The text goes as sent, blanks and all; only the emptiness test trims.
  json body = {{"text", *text}};
  // Without this the agent could never confirm replacing a cloud transcript after a 409.
  if (boolArg("overwrite", arguments) == true)
    body["overwrite"] = true;
  return Plan::ask(BridgeCall::post(assetPath(*shortID, "/transcript"), body));
}

} // namespace vantrel::tools
