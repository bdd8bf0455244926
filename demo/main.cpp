// vantrel-demo: starts the stand-in host app and vantrel-mcp in a throw-away home and plays a
// short agent session against them, printing each call and its reply.

#include "AgentSession.h"
#include "Child.h"
#include "bridge/StorePaths.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using vantrel::demo::Child;
using vantrel::demo::Clock;

constexpr const char* kUsage =
    "usage: vantrel-demo --mcp PATH --hostsim PATH [--timeout SECONDS]\n";
constexpr std::string_view kReadyPrefix = "vantrel-hostsim: listening on ";

// Removed with everything in it when the demo ends, however it ends.
class TempHome {
public:
  TempHome() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = (fs::path(tmp && *tmp ? tmp : "/tmp") / "vantrel-demo-XXXXXX").string();
    if (::mkdtemp(pattern.data()))
      path_ = pattern;
  }
  ~TempHome() {
    std::error_code ec;
    if (!path_.empty())
      fs::remove_all(path_, ec);
  }
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;
  const fs::path& path() const { return path_; }

private:
  fs::path path_;
};

int failed(const std::string& message) {
  std::cerr << "vantrel-demo: " << message << "\n";
  return 1;
}

std::unique_ptr<Child> started(std::variant<std::unique_ptr<Child>, std::string> spawned,
                               std::string& error) {
  if (auto* message = std::get_if<std::string>(&spawned)) {
    error = *message;
    return nullptr;
  }
  return std::move(std::get<std::unique_ptr<Child>>(spawned));
}

// Children are declared after the home, so on every return they are stopped before it is
// removed; Child's destructor kills whatever did not stop by itself.
int runDemo(const std::string& mcpPath, const std::string& hostsimPath,
            std::chrono::seconds timeout) {
  auto began = Clock::now();
  TempHome home;
  if (home.path().empty())
    return failed("cannot create a temporary directory");
  // Both children inherit this home, so the server finds the support directory by its own rule
  // and the stand-in's scratch files land in here too.
  std::error_code ec;
  fs::create_directories(home.path() / "share", ec);
  fs::create_directories(home.path() / "tmp", ec);
  ::setenv("HOME", home.path().c_str(), 1);
  ::setenv("XDG_DATA_HOME", (home.path() / "share").c_str(), 1);
  ::setenv("TMPDIR", (home.path() / "tmp").c_str(), 1);
  auto support = vantrel::bridge::applicationSupportDirectory();
  if (support)
    fs::create_directories(*support, ec);
  if (!support || !fs::is_directory(*support, ec))
    return failed("cannot create the support directory in " + home.path().string());

  std::string error;
  auto hostsim = started(Child::spawn({hostsimPath, "--support-dir", *support},
                                      {.in = false, .out = false, .err = true}),
                         error);
  if (!hostsim)
    return failed(error);
  auto ready = hostsim->readLine(Child::Stderr, Clock::now() + timeout);
  if (!ready.text || ready.text->rfind(kReadyPrefix, 0) != 0) {
    std::string said = ready.text ? *ready.text + "\n" : "";
    said += hostsim->drain(Child::Stderr);
    return failed("vantrel-hostsim did not report that it is listening (" +
                  (ready.text ? "unexpected line" : ready.whyNot) + ")" +
                  (said.empty() ? "" : "; it said:\n" + said));
  }
  // It says nothing more; should it try, it gets EPIPE, which it ignores.
  hostsim->closeStream(Child::Stderr);
  std::cout << "▶ " << *ready.text << "\n\n";

  auto server = started(Child::spawn({mcpPath}, {.in = true, .out = true, .err = false}), error);
  if (!server)
    return failed(error);
  std::cout << "▶ vantrel-mcp started (pid " << server->pid() << "), HOME=" << home.path().string()
            << "\n\n";

  vantrel::demo::AgentSession session(*server, std::cout, timeout);
  if (auto problem = session.run())
    return failed(*problem);

  server->closeInput();
  auto serverExit = server->waitExit(Clock::now() + timeout);
  if (serverExit != 0)
    return failed("vantrel-mcp did not exit with 0 after end of input");
  hostsim->sendSignal(SIGTERM);
  auto hostsimExit = hostsim->waitExit(Clock::now() + timeout);
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
