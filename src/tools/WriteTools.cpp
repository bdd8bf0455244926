// Tools that write to the library through the Bridge: the three imports and add_note forward
// the agent's arguments untouched; save_transcript checks its two arguments first.
#include "tools/Args.h"
#include "tools/ToolRegistry.h"
#include "tools/ToolSupport.h"

namespace vantrel::tools {

using nlohmann::json;

namespace {

// Unicode White_Space, which is what trimming "whitespace and line breaks" means for a text in
// any script (U+3000, the ideographic space, included).
bool isBlank(std::string_view text) {
  static constexpr std::string_view kSpaces[] = {"\u0085", "\u00A0", "\u1680", "\u2000", "\u2001",
                                                 "\u2002", "\u2003", "\u2004", "\u2005", "\u2006",
                                                 "\u2007", "\u2008", "\u2009", "\u200A", "\u2028",
                                                 "\u2029", "\u202F", "\u205F", "\u3000"};
  while (!text.empty()) {
    char c = text.front();
    if (c == ' ' || (c >= '\t' && c <= '\r')) {
      text.remove_prefix(1);
      continue;
    }
    bool matched = false;
    for (std::string_view space : kSpaces) {
      if (text.starts_with(space)) {
        text.remove_prefix(space.size());
        matched = true;
        break;
      }
    }
    if (!matched)
      return false;
  }
  return true;
}

} // namespace

ToolResult ToolRegistry::importFromLink(const json& arguments) {
  return client_.post("/assets/import-link", arguments);
}

ToolResult ToolRegistry::importFile(const json& arguments) {
  return client_.post("/assets/import-file", arguments);
}

ToolResult ToolRegistry::createGallery(const json& arguments) {
  return client_.post("/assets/create-gallery", arguments);
}

ToolResult ToolRegistry::addNote(const json& arguments) {
  // No checks here: a missing card or content is the Bridge's to refuse. A missing or non-string
  // shortID leaves the path with "//notes", which the Bridge answers.
  std::string shortID = stringArg("shortID", arguments).value_or("");
  auto client = clientName();
  if (!client || client->empty())
    return client_.post(assetPath(shortID, "/notes"), arguments);
  json body = arguments;
  body["client"] = *client;
  return client_.post(assetPath(shortID, "/notes"), body);
}

ToolResult ToolRegistry::saveTranscript(const json& arguments) {
  auto shortID = shortIdArg(arguments);
  if (!shortID)
    return missingShortID();
  auto text = stringArg("text", arguments);
  if (!text || isBlank(*text))
    return ToolResult::fail("缺少参数 text（转写文本不能为空）");
  // The text goes as sent, blanks and all; only the emptiness test trims.
  json body = {{"text", *text}};
  // Without this the agent could never confirm replacing a cloud transcript after a 409.
  if (boolArg("overwrite", arguments) == true)
    body["overwrite"] = true;
  return client_.post(assetPath(*shortID, "/transcript"), body);
}

} // namespace vantrel::tools
