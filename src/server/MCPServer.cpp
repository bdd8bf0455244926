#include "server/MCPServer.h"

#include "bridge/AsioTransport.h"
#include "server/Responder.h"

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

json initializeResult() {
  return {{"protocolVersion", kProtocolVersion},
          {"capabilities", {{"tools", json::object()}}},
          {"serverInfo", {{"name", kServerName}, {"version", kServerVersion}}},
          {"instructions", kInstructions}};
}

// One tools/call from start to answer; everything it needs is held by value in its frame.
boost::asio::awaitable<void> serveToolCall(std::shared_ptr<tools::ToolRegistry> tools,
                                           Responder responder, std::string name, json arguments) {
  ToolResult result = co_await tools->call(std::move(name), std::move(arguments));
  responder.answer(result);
}

} // namespace

MCPServer::MCPServer(LineWriter::Sink out, LineWriter::Sink err, ServerOptions options)
    : loop_(std::make_unique<EventLoop>(options.loopThreads, options.loopStack)),
      transport_(options.transport ? std::move(options.transport)
                                   : std::make_shared<bridge::AsioTransport>()),
      tools_(std::make_shared<tools::ToolRegistry>(
          bridge::BridgeClient(transport_, std::move(options.credentials)),
          [loop = loop_.get()](boost::asio::awaitable<void> task) {
            loop->spawn(std::move(task));
          })),
      pending_(std::make_shared<TaskGroup>()),
      outQueue_(std::make_shared<LineWriter>(std::move(out), std::move(err))) {
}

MCPServer::~MCPServer() {
  loop_->stop();
  // Kept connections belong to the loop's context: close them while it still exists.
  transport_->shutdown();
  loop_.reset();
}

void MCPServer::run(LineReader& input) {
  std::string line;
  while (input.next(line)) {
    auto request = decodeRequest(line);
    if (!request) {
      outQueue_->send(errorLine(kNullId, MCPError::parseError(kUnparseable)));
      continue;
    }
    if (!request->idText)
      continue; // a notification: nothing to answer, nothing to do
    handle(std::move(*request));
  }
  pending_->wait();
}

void MCPServer::handle(Request request) {
  const std::string& id = *request.idText;
  const std::string& method = request.method;
  json& params = request.params;
  if (method == "initialize") {
    auto clientInfo = params.find("clientInfo");
    if (clientInfo != params.end() && clientInfo->is_object()) {
      auto name = clientInfo->find("name");
      tools_->setClientName(name != clientInfo->end() && name->is_string()
                                ? std::optional<std::string>(name->get<std::string>())
                                : std::nullopt);
    }
    outQueue_->send(resultLine(id, initializeResult()));
  } else if (method == "tools/list") {
    outQueue_->send(resultLine(id, {{"tools", tools_->definitions()}}));
  } else if (method == "tools/call") {
    startToolCall(std::move(*request.idText), std::move(request.params));
  } else if (method == "ping") {
    outQueue_->send(resultLine(id, std::string_view("{}")));
  } else {
    outQueue_->send(errorLine(id, MCPError::methodNotFound(method)));
  }
}

void MCPServer::startToolCall(std::string idText, json params) {
  auto name = params.find("name");
  auto arguments = params.find("arguments");
  std::string toolName =
      name != params.end() && name->is_string() ? name->get<std::string>() : std::string();
  json toolArguments =
      arguments != params.end() && arguments->is_object() ? std::move(*arguments) : json::object();

  pending_->enter(); // before the task exists, so the drain at end of input cannot miss it
  try {
    loop_->spawn(serveToolCall(tools_, Responder(std::move(idText), outQueue_, pending_),
                               std::move(toolName), std::move(toolArguments)));
  } catch (const std::exception&) {
    // No memory for the task: its Responder, destroyed with it, has answered the call.
  }
  // A loop that got no thread at start runs here, one call at a time.
  if (loop_->threads() == 0)
    loop_->runHereUntil([this] { return pending_->empty(); });
}

} // namespace vantrel::server
