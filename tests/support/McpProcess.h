#pragma once

#include "driver/ChildProcess.h"
#include "driver/McpRequest.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vantrel::testing {

using Env = std::map<std::string, std::string>;

// The text and error flag of a tools/call result.
struct ToolText {
  std::string text;
  bool isError = false;
};
ToolText toolText(const nlohmann::json& result);

// The real vantrel-mcp binary as an agent host runs it: a child process with pipes on its
// stdin, stdout and stderr. `env` adds to (or replaces in) the test's own environment; the
// options also let a test start it as a careless host would (descriptors closed, limits set).
// A failed write throws std::runtime_error, as does a request left without a reply.
class McpProcess {
public:
  explicit McpProcess(driver::ChildProcess::Options options = {});
  explicit McpProcess(const Env& env) : McpProcess(driver::ChildProcess::Options{.env = env}) {}

  // Writes raw bytes / one line ("\n" appended) / one JSON message as a line.
  void writeRaw(std::string_view bytes);
  void sendLine(std::string_view line) { writeRaw(std::string(line) + "\n"); }
  void send(const nlohmann::json& message) { sendLine(message.dump()); }
  void closeInput() { child_.closeInput(); }
  // The agent host stops reading: our end of the child's stdout closes.
  void closeOutput() { child_.stopReading(driver::ChildProcess::Stream::Stdout); }
  driver::ChildProcess& child() { return child_; }

  // The next stdout line without its "\n", or nothing on end of output or time-out.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  std::optional<nlohmann::json>
  readJson(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Sends a request and returns its reply (the next line).
  nlohmann::json request(const nlohmann::json& message);
  // A tools/call; returns the reply's result.
  nlohmann::json callTool(const std::string& name, const nlohmann::json& arguments, int id = 1);
  // The next `count` tool-call replies, by id, each within `timeout`; a test failure for each
  // one missing or answered twice.
  std::map<int, ToolText> toolReplies(int count,
                                      std::chrono::milliseconds timeout = std::chrono::seconds(30));

  // Closes stdin, reads every remaining stdout line, and waits for the exit status.
  std::vector<std::string> finish(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Exit status after finish(): the code, or -signal when a signal ended it, or nothing if it
  // had to be killed after the time-out.
  std::optional<int> exitStatus() const { return exitStatus_; }
  std::string stderrText(); // everything written to stderr so far (non-blocking)

private:
  driver::ChildProcess child_;
  std::string errText_;
  std::optional<int> exitStatus_;
};

// After a fault: the server still answers a ping at once.
void expectPingAnswered(McpProcess& mcp);
// At end of input: no further line, exit status 0, nothing on stderr.
void expectCleanExit(McpProcess& mcp);

} // namespace vantrel::testing
