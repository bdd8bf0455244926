// Media extraction: extract_audio and extract_frames ask the Bridge for files it makes.
#include "tools/Args.h"
#include "tools/ToolPlans.h"

namespace vantrel::tools {

using bridge::BridgeCall;
using nlohmann::json;

Plan planExtractAudio(const json& arguments, const CallContext&) {
  auto shortID = shortIdArg(arguments);
  if (!shortID)
    return Plan::answer(missingShortID());
  bridge::Query query;
  if (auto format = stringArg("format", arguments))
    query["format"] = *format;
  // Not in the catalogue, but passed on: the Bridge answers a range with its own refusal.
  for (const char* key : {"start", "end"}) {
    if (auto value = numberArg(key, arguments))
      query[key] = decimalText(*value);
  }
  return Plan::ask(BridgeCall::get(assetPath(*shortID, "/audio"), std::move(query)));
}

Plan planExtractFrames(const json& arguments, const CallContext&) {
  auto shortID = shortIdArg(arguments);
  if (!shortID)
    return Plan::answer(missingShortID());
  bridge::Query query;
  auto times = arguments.find("times");
  if (auto t = numberArg("t", arguments)) {
    query["t"] = decimalText(*t);
  } else if (times != arguments.end() && times->is_array()) {
    std::string joined;
    for (const json& element : *times) {
      auto number = numberValue(element);
      if (!number)
        continue; // unusable elements are dropped without a word
      if (!joined.empty())
        joined += ',';
      joined += decimalText(*number);
    }
    if (joined.empty())
      return Plan::answer(ToolResult::fail("times 解析失败：需要数字数组"));
    query["times"] = joined;
  } else if (times != arguments.end() && times->is_string()) {
    query["times"] = times->get<std::string>(); // the Bridge parses the string form itself
  } else {
    return Plan::answer(ToolResult::fail("缺少时间点参数：单帧用 t=12.5，多帧用 times=[1,5,9]"));
  }
  if (auto maxWidth = intArg("maxWidth", arguments))
    query["maxWidth"] = std::to_string(*maxWidth);
  return Plan::ask(BridgeCall::get(assetPath(*shortID, "/frames"), std::move(query)));
}

} // namespace vantrel::tools
