#pragma once

#include "bridge/BridgeClient.h"
#include "bridge/HttpTransport.h"
#include "server/EventLoop.h"
#include "server/Input.h"
#include "server/JsonRpc.h"
#include "server/LineSplitter.h"
#include "server/LineWriter.h"
#include "server/ProcessSetup.h"
#include "server/TaskGroup.h"
#include "tools/ToolRegistry.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

namespace vantrel::server {

// How a server is put together; the defaults are the real process's.
struct ServerOptions {
  std::shared_ptr<bridge::HttpTransport> transport; // null: an AsioTransport of its own
  bridge::BridgeClient::CredentialsSource credentials = bridge::readCredentials;
  std::size_t loopThreads = loopThreadCount();
  std::size_t loopStack = loopStackSize();
  std::size_t maxReportsInFlight = reportsInFlightLimit();
  // False: a blocking input is read as when no thread can be made for it.
  bool inputThread = true;
};

// The MCP server over one line-based connection: reads requests, answers initialize,
// tools/list and ping on the reading thread as it reads them, hands each tools/call to the event
// loop, and writes every response as one line through the serial output queue. The reading
// thread runs the loop's first context and reads on it; see EventLoop.h for how it keeps reading
// whatever the calls do.
class MCPServer {
public:
  // Serves the requests of `input`. `out` receives response lines; `err` the diagnostics: the
  // line when a response cannot be serialised, and why input could not be read.
  MCPServer(Input input, LineWriter::Sink out, LineWriter::Sink err, ServerOptions options = {});
  // Stops the loop before anything a task may still use goes away.
  ~MCPServer();
  MCPServer(const MCPServer&) = delete;
  MCPServer& operator=(const MCPServer&) = delete;

  // Reads and serves until the input ends, then ends as EventLoop::runUntilDrained() says: every
  // started call answers, the last usage reports set out. Returns the exit status: 0 after the
  // end of input, 1 when input could no longer be read (said on `err`). Once.
  int serve();

  tools::ToolRegistry& tools() { return *tools_; }

private:
  // The ways bytes arrive, one per Input kind; each hands them to take() on the reading thread.
  boost::asio::awaitable<void> readWaited(InputWatch watch);
  boost::asio::awaitable<void> readBytes(std::string bytes);
  boost::asio::awaitable<void> readInline();
  void startBlockingReader();

  // Splits `bytes` into lines and handles each; `moreWaiting`: more input is already there.
  void take(std::string_view bytes, bool moreWaiting);
  // The input has ended, or could not be read any further (`failure` says why).
  void inputEnded(std::optional<std::string> failure = std::nullopt);
  void handleLine(std::string& line, bool moreInput);
  void handle(Request request, bool moreInput);
  void startToolCall(std::string idText, nlohmann::json params, bool moreInput);

  // Declared first so that it is built before, and torn down after, what its tasks use.
  std::unique_ptr<EventLoop> loop_;
  std::shared_ptr<bridge::HttpTransport> transport_;
  std::shared_ptr<tools::ToolRegistry> tools_;
  std::shared_ptr<TaskGroup> pending_;
  std::shared_ptr<LineWriter> outQueue_;

  // The reading thread's own: the input, its lines, how it ended.
  Input input_;
  bool inputThread_;
  LineSplitter lines_;
  std::string line_;
  std::unique_ptr<BlockingReader> reader_;
  std::optional<EventLoop::KeepRunning> inputOpen_; // until the input has ended
  bool ended_ = false;
  std::optional<std::string> readFailure_;
};

} // namespace vantrel::server
