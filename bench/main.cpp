// vantrel-bench: starts the real server against a fast fake Bridge and measures it beside its
// floors. Usage: vantrel-bench --mcp PATH [--floor PATH] [--json OUT] [--quick]
#include "BenchBridge.h"
#include "Phases.h"
#include "Report.h"
#include "support/SupportDir.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace vantrel::bench;

namespace {

constexpr const char* kUsage =
    "usage: vantrel-bench --mcp PATH [--floor PATH] [--json OUT] [--quick]\n";

std::string randomToken() {
  std::random_device device;
  std::mt19937_64 engine(device());
  char text[40];
  std::snprintf(text, sizeof text, "bench-%016llx", static_cast<unsigned long long>(engine()));
  return text;
}

// The one-minute load average: a run on a busy machine says so beside its figures.
nlohmann::json loadAverage() {
  double load[1];
  return ::getloadavg(load, 1) == 1 ? nlohmann::json(load[0]) : nlohmann::json(nullptr);
}

} // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN); // a server that dies mid-write is reported, not fatal to us

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

  // The server's support directory lives in a temporary home for the run and goes with it.
  std::unique_ptr<vantrel::testing::SupportDir> home;
  std::unique_ptr<BenchBridge> bridge;
  std::string token = randomToken();
  try {
    home = std::make_unique<vantrel::testing::SupportDir>();
    bridge = std::make_unique<BenchBridge>(token);
    home->writeToken(bridge->port(), token);
  } catch (const std::runtime_error& error) {
    std::cerr << "vantrel-bench: cannot set up the fake Bridge: " << error.what() << "\n";
    return 1;
  }
  config.childEnv = home->env();
  config.childEnv["PATH"] = "/usr/bin:/bin";

  const nlohmann::json loadBefore = loadAverage();
  Report report;
  runColdStart(config, report);
  runPing(config, report);
  runGetAsset(config, *bridge, report);
  runHeld(config, *bridge, report);
  runMany(config, *bridge, report);
  runLargeReply(config, *bridge, report); // last: it leaves a 64 MiB reply in the Bridge
  addFramingRow(report);

  const nlohmann::json loadAfter = loadAverage();
  std::cout << report.table();
  auto load = [](const nlohmann::json& value) {
    return value.is_number() ? formatNumber(value.get<double>()) : std::string("n/a");
  };
  std::cout << "load average (1 min): " << load(loadBefore) << " at start, " << load(loadAfter)
            << " at end, on " << std::thread::hardware_concurrency() << " CPUs\n";
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
                            {"manyCalls", config.manyCalls},
                            {"holdMs", config.hold.count()},
                            {"largeBytes", config.largeBytes},
                            {"loadAverage", {{"start", loadBefore}, {"end", loadAfter}}}};
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
  // Missed targets are findings, not failures of the benchmark; only a broken run says so.
  return 0;
}
