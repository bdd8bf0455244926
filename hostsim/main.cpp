#include "HostSim.h"
#include "bridge/StorePaths.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <pthread.h>
#include <signal.h>
#include <string>

namespace {

constexpr const char* kUsage =
    "usage: vantrel-hostsim [--support-dir DIR] [--port N] [--data DIR]\n"
    "\n"
    "A stand-in for the desktop app: serves its Bridge on 127.0.0.1 over a sample library and\n"
    "writes bridge.token and agent-guide.md into <support>/com.quillmoor.vantrel/.\n"
    "\n"
    "  --support-dir DIR  support directory (default: the user's Application Support, the\n"
    "                     desktop app's own)\n"
    "  --port N           listen on port N (default: any free port)\n"
    "  --data DIR         keep the library in DIR across runs (default: in memory)\n"
    "  --help             show this text\n"
    "\n"
    "Refuses to start while a bridge.token there names a Bridge that answers (the desktop\n"
    "app, or another stand-in): give it a folder of its own with --support-dir.\n"
    "Stops on SIGINT or SIGTERM, removing bridge.token if it still holds its own token.\n";

int usageError(const std::string& message) {
  std::cerr << "vantrel-hostsim: " << message << "\n" << kUsage;
  return 2;
}

} // namespace

int main(int argc, char** argv) {
  using vantrel::hostsim::HostSim;
  vantrel::hostsim::HostSimOptions options;
  bool supportGiven = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (arg != "--support-dir" && arg != "--port" && arg != "--data")
      return usageError("unknown argument " + arg);
    if (i + 1 >= argc)
      return usageError(arg + " needs a value");
    std::string value = argv[++i];
    if (arg == "--support-dir") {
      options.supportDir = value;
      supportGiven = true;
    } else if (arg == "--data") {
      options.dataDir = value;
    } else {
      char* end = nullptr;
      long port = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || port < 1 || port > 65535)
        return usageError("--port needs a number from 1 to 65535");
      options.port = static_cast<int>(port);
    }
  }
  if (!supportGiven) {
    auto support = vantrel::bridge::applicationSupportDirectory();
    if (!support)
      return usageError("no Application Support directory; pass --support-dir");
    options.supportDir = *support;
  }

  // Signals are taken by sigwait below, never by a handler; threads inherit this mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  ::signal(SIGPIPE, SIG_IGN); // a client that hangs up must not end the app

  auto started = HostSim::start(options);
  if (auto* error = std::get_if<std::string>(&started)) {
    std::cerr << "vantrel-hostsim: " << *error << "\n";
    return 1;
  }
  auto& sim = std::get<std::unique_ptr<HostSim>>(started);
  std::string line = "vantrel-hostsim: listening on 127.0.0.1:" + std::to_string(sim->port()) +
                     ", library: " + sim->libraryDescription() +
                     ", token: " + sim->tokenPath().string() + "\n";
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);

  int received = 0;
  while (sigwait(&stopSignals, &received) != 0) {
  }
  sim->stop();
  return 0;
}
