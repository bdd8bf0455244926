// vantrel-demo: starts the stand-in host app and vantrel-mcp in a throw-away home and plays a
// short agent session against them, printing each call and its reply.

#include "AgentSession.h"
#include "StopSignal.h"
#include "bridge/StorePaths.h"
#include "driver/ChildProcess.h"
#include "driver/TempDir.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using vantrel::demo::ChildProcess;
using vantrel::demo::Clock;
using Stream = ChildProcess::Stream;
using Stdio = ChildProcess::Stdio;

constexpr const char* kUsage =
    "usage: vantrel-demo --mcp PATH --hostsim PATH [--timeout SECONDS]\n";
constexpr std::string_view kReadyPrefix = "vantrel-hostsim: listening on ";

int failed(const std::string& message) {
  std::cerr << "vantrel-demo: " << message << "\n";
  return 1;
}

// Children are declared after the home, so on every return they are stopped before it is
// removed; ChildProcess's destructor stops whatever did not stop by itself.
int runDemo(const std::string& mcpPath, const std::string& hostsimPath,
            std::chrono::seconds timeout) {
  auto began = Clock::now();
  std::unique_ptr<vantrel::driver::TempDir> home;
  try {
    home = std::make_unique<vantrel::driver::TempDir>("vantrel-demo");
  } catch (const std::runtime_error& error) {
    return failed(error.what());
  }
  // Both children inherit this home, so the server finds the support directory by its own rule
  // and the stand-in's scratch files land in here too.
  std::error_code ec;
  fs::create_directories(home->path() / "share", ec);
  fs::create_directories(home->path() / "tmp", ec);
  ::setenv("HOME", home->path().c_str(), 1);
  ::setenv("XDG_DATA_HOME", (home->path() / "share").c_str(), 1);
  ::setenv("TMPDIR", (home->path() / "tmp").c_str(), 1);
  auto support = vantrel::bridge::applicationSupportDirectory();
  if (support)
    fs::create_directories(*support, ec);
  if (!support || !fs::is_directory(*support, ec))
    return failed("cannot create the support directory in " + home->path().string());

  std::string error;
  auto hostsim = vantrel::driver::startChild(
      {hostsimPath, "--support-dir", *support},
      {.in = Stdio::Null, .out = Stdio::Inherit, .err = Stdio::Pipe}, error);
  if (!hostsim)
    return failed(error);
  auto ready = vantrel::demo::readLine(*hostsim, Stream::Stderr, Clock::now() + timeout);
  if (!ready.text || ready.text->rfind(kReadyPrefix, 0) != 0) {
    std::string said = ready.text ? *ready.text + "\n" : "";
    said += hostsim->readAvailable(Stream::Stderr);
    return failed("vantrel-hostsim did not report that it is listening (" +
                  (ready.text ? "unexpected line" : ready.whyNot) + ")" +
                  (said.empty() ? "" : "; it said:\n" + said));
  }
  // It says nothing more; should it try, it gets EPIPE, which it ignores.
  hostsim->stopReading(Stream::Stderr);
  std::cout << "▶ " << *ready.text << "\n\n";

  auto server = vantrel::driver::startChild({mcpPath}, {.err = Stdio::Inherit}, error);
  if (!server)
    return failed(error);
  std::cout << "▶ vantrel-mcp started (pid " << server->pid() << "), HOME=" << home->path().string()
            << "\n\n";

  vantrel::demo::AgentSession session(*server, std::cout, timeout);
  if (auto problem = session.run())
    return failed(*problem);

  server->closeInput();
  auto serverExit = vantrel::demo::waitExit(*server, Clock::now() + timeout);
  if (serverExit != 0)
    return failed("vantrel-mcp did not exit with 0 after end of input");
  hostsim->sendSignal(SIGTERM);
  auto hostsimExit = vantrel::demo::waitExit(*hostsim, Clock::now() + timeout);
  if (hostsimExit != 0)
    return failed("vantrel-hostsim did not exit with 0 on SIGTERM");
  if (fs::exists(fs::path(*support) / vantrel::bridge::kBundleDirectory / "bridge.token", ec))
    return failed("vantrel-hostsim left bridge.token behind");

  auto took = std::chrono::duration<double>(Clock::now() - began).count();
  std::cout << "\n✓ vantrel-mcp exited 0 at end of input, vantrel-hostsim stopped; took "
            << static_cast<int>(took * 1000) << " ms\n";
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  std::string mcp, hostsim;
  long timeoutSeconds = 10;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (i + 1 >= argc || (arg != "--mcp" && arg != "--hostsim" && arg != "--timeout")) {
      std::cerr << kUsage;
      return 2;
    }
    std::string value = argv[++i];
    if (arg == "--mcp") {
      mcp = value;
    } else if (arg == "--hostsim") {
      hostsim = value;
    } else {
      char* end = nullptr;
      timeoutSeconds = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || timeoutSeconds < 1 || timeoutSeconds > 600) {
        std::cerr << "vantrel-demo: --timeout needs seconds from 1 to 600\n" << kUsage;
        return 2;
      }
    }
  }
  if (mcp.empty() || hostsim.empty()) {
    std::cerr << kUsage;
    return 2;
  }
  vantrel::demo::installStopHandlers();
  std::cout.setf(std::ios::unitbuf); // a person watching sees each step as it happens
  return runDemo(mcp, hostsim, std::chrono::seconds(timeoutSeconds));
}
