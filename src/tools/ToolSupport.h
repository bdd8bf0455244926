#pragma once

#include "common/ToolResult.h"

#include <string>
#include <string_view>

namespace vantrel::tools {

// The answer of every tool that needs a card and was not given one.
inline ToolResult missingShortID() {
  return ToolResult::fail("缺少参数 shortID");
}

// "/assets/" + the short identifier as sent + `suffix`; the Bridge client encodes the path.
inline std::string assetPath(std::string_view shortID, std::string_view suffix = {}) {
  std::string path = "/assets/";
  path.append(shortID).append(suffix);
  return path;
}

} // namespace vantrel::tools
