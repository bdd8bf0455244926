#include "cli/Command.h"
#include "cli/Options.h"
#include "server/MCPServer.h"
#include "server/ProcessSetup.h"

#include <csignal>
#include <cstdlib>
#include <unistd.h>

int main(int argc, char** argv) {
  vantrel::server::openMissingStandardStreams(); // before anything else takes descriptor 0, 1 or 2
  // An agent host that goes away closes our stdout; the lost line is dropped, not fatal.
  std::signal(SIGPIPE, SIG_IGN);

  // An agent host passes no arguments; any argument is a person at a terminal.
  auto invocation = vantrel::cli::parseArguments(argc, argv);
  if (invocation.command != vantrel::cli::Command::serve)
    return vantrel::cli::runCommand(invocation);

  vantrel::server::raiseOpenFileLimit();

  using vantrel::server::LineWriter;
  auto* server = new vantrel::server::MCPServer(LineWriter::fdSink(STDOUT_FILENO),
                                                LineWriter::fdSink(STDERR_FILENO));
  server->serve(STDIN_FILENO);

  // Every tool call has answered. Usage reports still in flight are dropped: the server is never
  // destroyed, and skipping static destructors keeps the loop's threads from racing teardown.
  std::_Exit(0);
}
