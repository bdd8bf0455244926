#include "cli/Command.h"
#include "cli/Options.h"
#include "server/Input.h"
#include "server/MCPServer.h"
#include "server/ProcessSetup.h"

#include <csignal>
#include <cstdlib>
#include <exception>
#include <string>
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
  int status = 1;
  try {
    // Never destroyed: skipping static destructors keeps the loop's threads from racing teardown.
    auto* server = new vantrel::server::MCPServer(vantrel::server::Input::descriptor(STDIN_FILENO),
                                                  LineWriter::fdSink(STDOUT_FILENO),
                                                  LineWriter::fdSink(STDERR_FILENO));
    status = server->serve();
  } catch (const std::exception& e) {
    // The loop itself could not be made (no descriptors, no memory): nothing can be served.
    const std::string line = std::string("vantrel-mcp: 无法启动：") + e.what() + "\n";
    (void)!::write(STDERR_FILENO, line.data(), line.size());
  }
  // Every tool call has answered; usage reports still in flight are dropped.
  std::_Exit(status);
}
