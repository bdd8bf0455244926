#pragma once

#include "server/LineReader.h"
#include "server/LineWriter.h"
#include "server/MCPError.h"
#include "server/TaskGroup.h"
#include "tools/ToolRegistry.h"

#include <nlohmann/json.hpp>

#include <memory>
#include <string>

namespace vantrel::server {

// The MCP server over one line-based connection: reads requests, answers initialize,
// tools/list and ping on the reading thread, runs each tools/call as its own task, and writes
// every response as one line through the serial output queue.
class MCPServer {
public:
  // `out` receives response lines; `err` the one diagnostic line when a response cannot be
  // serialised.
  MCPServer(LineWriter::Sink out, LineWriter::Sink err);
  MCPServer(std::shared_ptr<tools::ToolRegistry> tools, LineWriter::Sink out, LineWriter::Sink err);

  // The read loop. Returns when input has ended and every started tool call has answered.
  void run(LineReader& input);

  tools::ToolRegistry& tools() { return *tools_; }

private:
  void handle(nlohmann::json id, const std::string& method, const nlohmann::json& params);
  void startToolCall(nlohmann::json id, const nlohmann::json& params);
  void sendResult(const nlohmann::json& id, nlohmann::json result);
  void sendError(const nlohmann::json& id, const MCPError& error);
  void write(const nlohmann::json& message);

  std::shared_ptr<tools::ToolRegistry> tools_;
  std::shared_ptr<TaskGroup> pending_;
  std::shared_ptr<LineWriter> outQueue_;
  LineWriter::Sink err_;
};

} // namespace vantrel::server
