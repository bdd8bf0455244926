#include "server/MCPServer.h"

#include "common/TaskPool.h"
#include "server/JsonLine.h"

namespace vantrel::server {

using nlohmann::json;

namespace {

constexpr const char* kProtocolVersion = "2024-11-05";
constexpr const char* kServerName = "vantrel-mcp";
constexpr const char* kServerVersion = "1.0.0";
constexpr const char* kInstructions =
    "砚舟本地素材库。先调用 get_guide 阅读 agent 规范（实时读取，始终为最新），再用 search_assets "
    "检索内容卡片。导入/写笔记需要砚舟 app 处于运行状态。";
constexpr const char* kUnparseable = "无法解析 JSON";
constexpr std::string_view kSerializeFailure = "vantrel-mcp: 内部错误：响应序列化失败\n";

json initializeResult() {
  return {{"protocolVersion", kProtocolVersion},
          {"capabilities", {{"tools", json::object()}}},
          {"serverInfo", {{"name", kServerName}, {"version", kServerVersion}}},
          {"instructions", kInstructions}};
}

json toolCallResult(const ToolResult& result) {
  return {{"content", json::array({{{"type", "text"}, {"text", result.text}}})},
          {"isError", result.isError}};
}

} // namespace

MCPServer::MCPServer(LineWriter::Sink out, LineWriter::Sink err)
    : MCPServer(std::make_shared<tools::ToolRegistry>(), std::move(out), std::move(err)) {
}

MCPServer::MCPServer(std::shared_ptr<tools::ToolRegistry> tools, LineWriter::Sink out,
                     LineWriter::Sink err)
    : tools_(std::move(tools)), pending_(std::make_shared<TaskGroup>()),
      outQueue_(std::make_shared<LineWriter>(std::move(out))), err_(std::move(err)) {
}

void MCPServer::run(LineReader& input) {
  std::string line;
  while (input.next(line)) {
    auto request = parseRequestLine(line);
    if (!request) {
      sendError(json(nullptr), MCPError::parseError(kUnparseable));
      continue;
    }
    auto id = request->find("id");
    if (id == request->end())
      continue; // a notification: nothing to answer, nothing to do
    auto method = request->find("method");
    auto params = request->find("params");
    static const json kNoParams = json::object();
    handle(std::move(*id),
           method != request->end() && method->is_string() ? method->get_ref<const std::string&>()
                                                           : std::string(),
           params != request->end() && params->is_object() ? *params : kNoParams);
  }
  pending_->wait();
}

void MCPServer::handle(json id, const std::string& method, const json& params) {
  if (method == "initialize") {
    auto clientInfo = params.find("clientInfo");
    if (clientInfo != params.end() && clientInfo->is_object()) {
      auto name = clientInfo->find("name");
      tools_->setClientName(name != clientInfo->end() && name->is_string()
                                ? std::optional<std::string>(name->get<std::string>())
                                : std::nullopt);
    }
    sendResult(id, initializeResult());
  } else if (method == "tools/list") {
    sendResult(id, {{"tools", tools_->definitions()}});
  } else if (method == "tools/call") {
    startToolCall(std::move(id), params);
  } else if (method == "ping") {
    sendResult(id, json::object());
  } else {
    sendError(id, MCPError::methodNotFound(method));
  }
}

void MCPServer::startToolCall(json id, const json& params) {
  auto name = params.find("name");
  auto arguments = params.find("arguments");
  std::string toolName =
      name != params.end() && name->is_string() ? name->get<std::string>() : std::string();
  json toolArguments =
      arguments != params.end() && arguments->is_object() ? *arguments : json::object();

  pending_->enter(); // before the task exists, so the drain at end of input cannot miss it
  TaskPool::shared().spawn([this, id = std::move(id), toolName = std::move(toolName),
                            toolArguments = std::move(toolArguments)] {
    ToolResult result = tools_->call(toolName, toolArguments);
    sendResult(id, toolCallResult(result));
    pending_->leave();
  });
}

void MCPServer::sendResult(const json& id, json result) {
  write({{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}});
}

void MCPServer::sendError(const json& id, const MCPError& error) {
  write({{"jsonrpc", "2.0"},
         {"id", id},
         {"error", {{"code", error.code}, {"message", error.message}}}});
}

void MCPServer::write(const json& message) {
  if (auto line = serializeLine(message)) {
    outQueue_->writeLine(std::move(*line));
  } else {
    err_(kSerializeFailure);
  }
}

} // namespace vantrel::server
