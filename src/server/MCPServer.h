#pragma once

#include "bridge/BridgeClient.h"
#include "bridge/HttpTransport.h"
#include "server/EventLoop.h"
#include "server/JsonRpc.h"
#include "server/LineReader.h"
#include "server/LineWriter.h"
#include "server/ProcessSetup.h"
#include "server/TaskGroup.h"
#include "tools/ToolRegistry.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <memory>
#include <string>

namespace vantrel::server {

// How a server is put together; the defaults are the real process's.
struct ServerOptions {
  std::shared_ptr<bridge::HttpTransport> transport; // null: an AsioTransport of its own
  bridge::BridgeClient::CredentialsSource credentials = bridge::readCredentials;
  std::size_t loopThreads = loopThreadCount();
  std::size_t loopStack = loopStackSize();
  std::size_t maxReportsInFlight = reportsInFlightLimit();
};

// The MCP server over one line-based connection: reads requests, answers initialize,
// tools/list and ping on the reading thread as it reads them, hands each tools/call to the event
// loop, and writes every response as one line through the serial output queue. The reading
// thread runs the loop's first context and reads on it, so a lone call is read, relayed and
// answered without changing threads.
class MCPServer {
public:
  // `out` receives response lines; `err` the one diagnostic line when a response cannot be
  // serialised.
  MCPServer(LineWriter::Sink out, LineWriter::Sink err, ServerOptions options = {});
  // Stops the loop before anything a task may still use goes away.
  ~MCPServer();
  MCPServer(const MCPServer&) = delete;
  MCPServer& operator=(const MCPServer&) = delete;

  // Serves the requests on `fd` (standard input) until it ends and every started tool call has
  // answered. A pipe, socket or terminal is waited on by the loop; anything else is read as the
  // calls go (a file never makes a read wait).
  void serve(int fd);
  // The same for the lines `input` reads: read on the loop, a line at a time between the calls'
  // work, so its read function must not wait long (tests and fuzzing read from memory).
  void run(LineReader& input);

  tools::ToolRegistry& tools() { return *tools_; }

private:
  boost::asio::awaitable<void> readInput(int fd);
  boost::asio::awaitable<void> readAlong(LineReader& input);
  void runUntilDrained();
  void handleLine(std::string& line);
  void inputEnded();
  void handle(Request request);
  void startToolCall(std::string idText, nlohmann::json params);

  // Declared first so that it is built before, and torn down after, what its tasks use.
  std::unique_ptr<EventLoop> loop_;
  std::shared_ptr<bridge::HttpTransport> transport_;
  std::shared_ptr<tools::ToolRegistry> tools_;
  std::shared_ptr<TaskGroup> pending_;
  std::shared_ptr<LineWriter> outQueue_;
};

} // namespace vantrel::server
