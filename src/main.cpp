#include "bridge/BridgeClient.h"
#include "server/MCPServer.h"

#include <csignal>
#include <cstdlib>
#include <unistd.h>

int main() {
  // An agent host that goes away closes our stdout; the lost line is dropped, not fatal.
  std::signal(SIGPIPE, SIG_IGN);
  vantrel::bridge::globalInit(); // before any thread exists

  using vantrel::server::LineReader;
  using vantrel::server::LineWriter;
  vantrel::server::MCPServer server(LineWriter::fdSink(STDOUT_FILENO),
                                    LineWriter::fdSink(STDERR_FILENO));
  auto input = LineReader::fromFd(STDIN_FILENO);
  server.run(input);

  // Every tool call has answered. Usage reports still in flight are dropped, and skipping static
  // destructors keeps them from racing teardown.
  std::_Exit(0);
}
