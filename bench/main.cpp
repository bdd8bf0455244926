// vantrel-bench: starts the real server against a fast fake Bridge and measures it beside its
// floors. Usage: vantrel-bench --mcp PATH [--floor PATH] [--json OUT] [--quick]
#include "BenchBridge.h"
#include "Phases.h"
#include "Report.h"

#include <curl/curl.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace vantrel::bench;

namespace {

constexpr const char* kUsage =
    "usage: vantrel-bench --mcp PATH [--floor PATH] [--json OUT] [--quick]\n";

// The server's support directory lives here for the run and goes with it.
class TempHome {
public:
  TempHome() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base && base[0] == '/' ? base : "/tmp") + "/vantrel-bench-XXXXXX";
    if (char* made = ::mkdtemp(pattern.data()))
      root_ = made;
  }
  ~TempHome() {
    std::error_code ignored;
    if (!root_.empty())
      fs::remove_all(root_, ignored);
  }
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  bool ok() const { return !root_.empty(); }
  fs::path home() const { return root_ / "home"; }
  fs::path dataHome() const { return root_ / "data"; }

  // bridge.token where the server looks on either platform: the XDG data directory on Linux,
  // Application Support under HOME on macOS.
  bool writeToken(int port, const std::string& token) const {
    std::string content =
        R"({"port":)" + std::to_string(port) + R"(,"token":")" + token + R"(","pid":0})";
    for (const fs::path& support : {dataHome(), home() / "Library" / "Application Support"}) {
      std::error_code error;
      fs::path dir = support / "com.quillmoor.vantrel";
      fs::create_directories(dir, error);
      std::ofstream out(dir / "bridge.token", std::ios::binary);
      out << content;
      if (error || !out.flush())
        return false;
    }
    return true;
  }

private:
  fs::path root_;
};

std::string randomToken() {
  std::random_device device;
  std::mt19937_64 engine(device());
  char text[40];
  std::snprintf(text, sizeof text, "bench-%016llx", static_cast<unsigned long long>(engine()));
  return text;
}

} // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN); // a server that dies mid-write is reported, not fatal to us
  curl_global_init(CURL_GLOBAL_DEFAULT);

  BenchConfig config;
  std::string jsonPath;
  bool quick = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::cerr << kUsage;
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--mcp")
      config.mcpPath = value();
    else if (arg == "--floor")
      config.floorPath = value();
    else if (arg == "--json")
      jsonPath = value();
    else if (arg == "--quick")
      quick = true;
    else {
      std::cerr << kUsage;
      return 2;
    }
  }
  if (config.mcpPath.empty()) {
    std::cerr << kUsage;
    return 2;
  }
  if (config.floorPath.empty()) // built beside us
    config.floorPath = (fs::path(argv[0]).parent_path() / "vantrel-bench-floor").string();
  for (const auto& path : {config.mcpPath, config.floorPath}) {
    if (::access(path.c_str(), X_OK) != 0) {
      std::cerr << "vantrel-bench: not an executable: " << path << "\n";
      return 2;
    }
  }
  if (quick)
    config = BenchConfig::quick(config);

  TempHome temp;
  std::string error;
  std::string token = randomToken();
  auto bridge = BenchBridge::start(token, error);
  if (!temp.ok() || !bridge || !temp.writeToken(bridge->port(), token)) {
    std::cerr << "vantrel-bench: cannot set up the fake Bridge: " << error << "\n";
    return 1;
  }
  config.childEnv = {"HOME=" + temp.home().string(), "XDG_DATA_HOME=" + temp.dataHome().string(),
                     "PATH=/usr/bin:/bin"};

  Report report;
  runColdStart(config, report);
  runPing(config, report);
  runGetAsset(config, *bridge, report);
  runHeld(config, *bridge, report);

  std::cout << report.table();
  std::cout << "targets missed: " << report.missed() << (quick ? " (quick run)" : "") << "\n";
  if (!jsonPath.empty()) {
    nlohmann::json setup = {{"mcp", config.mcpPath},
                            {"quick", quick},
                            {"cpus", std::thread::hardware_concurrency()},
                            {"coldStarts", config.coldStarts},
                            {"pings", config.pings},
                            {"pipelined", config.pipelined},
                            {"assetCalls", config.assetCalls},
                            {"heldCalls", config.heldCalls},
                            {"holdMs", config.hold.count()}};
    std::ofstream out(jsonPath, std::ios::binary);
    // Failure texts may quote a server's line: never let a stray byte stop the report.
    out << report.toJson(setup).dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
        << "\n";
    if (!out.flush()) {
      std::cerr << "vantrel-bench: cannot write " << jsonPath << "\n";
      return 1;
    }
  }
  bridge.reset();
  curl_global_cleanup();
  // Missed targets are findings, not failures of the benchmark; only a broken run says so.
  return 0;
}
