#include "bridge/BridgeClient.h"
#include "server/MCPServer.h"

#include <climits>
#include <csignal>
#include <cstdlib>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Each call in flight holds a few descriptors (its Bridge connection among them). macOS starts
// processes with a soft limit of 256, which would turn the 80th concurrent call into a
// connection failure; the hard limit is ours to use.
void raiseOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
    return;
  rlim_t wanted = limit.rlim_max;
#ifdef __APPLE__
  if (wanted > OPEN_MAX)
    wanted = OPEN_MAX; // setrlimit refuses more than this on macOS
#endif
  if (wanted > limit.rlim_cur) {
    limit.rlim_cur = wanted;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

} // namespace

int main() {
  // An agent host that goes away closes our stdout; the lost line is dropped, not fatal.
  std::signal(SIGPIPE, SIG_IGN);
  raiseOpenFileLimit();
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
