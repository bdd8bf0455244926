#include "Workload.h"

#include "driver/McpRequest.h"

namespace vantrel::bench {

using nlohmann::json;

namespace {

json parse(std::string_view line) {
  return json::parse(line.begin(), line.end(), nullptr, /*allow_exceptions=*/false);
}

// The integer id of a JSON-RPC 2.0 message; nothing for any other value.
std::optional<std::int64_t> integerId(const json& message) {
  if (!message.is_object())
    return std::nullopt;
  auto version = message.find("jsonrpc");
  auto id = message.find("id");
  if (version == message.end() || *version != "2.0" || id == message.end() ||
      !id->is_number_integer())
    return std::nullopt;
  return id->get<std::int64_t>();
}

bool isReplyTo(const json& reply, std::int64_t id) {
  return integerId(reply) == id;
}

} // namespace

std::string initializeLine(std::int64_t id) {
  return driver::initializeRequest(id, "vantrel-bench").dump() + "\n";
}

std::string pingLine(std::int64_t id) {
  return driver::mcpRequest(id, "ping").dump() + "\n";
}

std::string getAssetLine(std::int64_t id, std::string_view shortID) {
  return driver::toolCallRequest(id, "get_asset", {{"shortID", shortID}}).dump() + "\n";
}

std::string shortIdFor(std::int64_t i) {
  return "bk" + std::to_string(i % 4096);
}

bool isInitializeReply(std::string_view line, std::int64_t id) {
  json reply = parse(line);
  if (!isReplyTo(reply, id) || !reply.contains("result") || !reply["result"].is_object())
    return false;
  const json& result = reply["result"];
  return result.value("protocolVersion", "") == "2024-11-05" && result.contains("serverInfo") &&
         result["serverInfo"].value("name", "") == "vantrel-mcp";
}

bool isPingReply(std::string_view line, std::int64_t id) {
  json reply = parse(line);
  return isReplyTo(reply, id) && reply.contains("result") && reply["result"] == json::object();
}

std::optional<std::int64_t> replyId(std::string_view line) {
  json reply = parse(line);
  if (reply.contains("result") == reply.contains("error"))
    return std::nullopt; // a request, a notification, or not a message at all
  return integerId(reply);
}

std::optional<ToolReply> parseToolReply(std::string_view line) {
  json reply = parse(line);
  if (!reply.is_object() || !reply.contains("id") || !reply.contains("result"))
    return std::nullopt;
  const json& result = reply["result"];
  if (!result.is_object() || result.value("isError", true) != false)
    return std::nullopt;
  auto content = result.find("content");
  if (content == result.end() || !content->is_array() || content->size() != 1)
    return std::nullopt;
  const json& item = (*content)[0];
  if (!item.is_object() || item.value("type", "") != "text" || !item.contains("text") ||
      !item["text"].is_string())
    return std::nullopt;
  return ToolReply{reply["id"], item["text"].get<std::string>()};
}

} // namespace vantrel::bench
