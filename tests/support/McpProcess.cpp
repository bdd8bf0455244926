#include "support/McpProcess.h"

#include <gtest/gtest.h>

#include <csignal>
#include <stdexcept>

namespace vantrel::testing {

using namespace vantrel::driver;

McpProcess::McpProcess(ChildProcess::Options options)
    : child_({VANTREL_MCP_PATH}, std::move(options)) {
}

void McpProcess::writeRaw(std::string_view bytes) {
  // Generous: a server busy with a 20 MB line still reads on; only a dead one fails this.
  if (!child_.write(bytes, std::chrono::seconds(60)))
    throw std::runtime_error(
        "cannot write to vantrel-mcp (it closed its input or stopped reading)");
}

std::optional<std::string> McpProcess::readLine(std::chrono::milliseconds timeout) {
  return child_.readLine(ChildProcess::Stream::Stdout, timeout).text;
}

std::optional<nlohmann::json> McpProcess::readJson(std::chrono::milliseconds timeout) {
  auto line = readLine(timeout);
  if (!line)
    return std::nullopt;
  return nlohmann::json::parse(*line);
}

nlohmann::json McpProcess::request(const nlohmann::json& message) {
  send(message);
  auto reply = readJson();
  if (!reply)
    throw std::runtime_error("no reply to " + message.dump());
  return *reply;
}

nlohmann::json McpProcess::callTool(const std::string& name, const nlohmann::json& arguments,
                                    int id) {
  return request(toolCallRequest(id, name, arguments)).at("result");
}

std::map<int, ToolText> McpProcess::toolReplies(int count, std::chrono::milliseconds timeout) {
  std::map<int, ToolText> byId;
  for (int i = 0; i < count; ++i) {
    auto reply = readJson(timeout);
    if (!reply) {
      ADD_FAILURE() << "only " << i << " of " << count << " replies";
      break;
    }
    const int id = (*reply)["id"].get<int>();
    if (!byId.emplace(id, toolText((*reply)["result"])).second)
      ADD_FAILURE() << "answered twice: " << id;
  }
  return byId;
}

std::vector<std::string> McpProcess::finish(std::chrono::milliseconds timeout) {
  closeInput();
  const auto deadline = ChildProcess::Clock::now() + timeout;
  std::vector<std::string> lines;
  while (auto line = child_.readLine(ChildProcess::Stream::Stdout, deadline).text)
    lines.push_back(std::move(*line));
  if (auto exit = child_.waitExit(deadline)) {
    exitStatus_ = exit->status();
  } else {
    child_.sendSignal(SIGKILL);
    child_.waitExit(std::chrono::seconds(10));
  }
  return lines;
}

std::string McpProcess::stderrText() {
  errText_ += child_.readAvailable(ChildProcess::Stream::Stderr);
  return errText_;
}

void expectPingAnswered(McpProcess& mcp) {
  mcp.send(mcpRequest("after", "ping"));
  auto reply = mcp.readJson(std::chrono::seconds(10));
  ASSERT_TRUE(reply);
  EXPECT_EQ(*reply, nlohmann::json::parse(R"({"jsonrpc":"2.0","id":"after","result":{}})"));
}

void expectCleanExit(McpProcess& mcp) {
  EXPECT_TRUE(mcp.finish().empty());
  EXPECT_EQ(mcp.exitStatus(), 0);
  EXPECT_EQ(mcp.stderrText(), "");
}

ToolText toolText(const nlohmann::json& result) {
  return {result.at("content").at(0).at("text").get<std::string>(),
          result.at("isError").get<bool>()};
}

} // namespace vantrel::testing
