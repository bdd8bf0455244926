// vantrel-bench: starts the real server against a fast fake Bridge and measures it beside its
// floors and, with --peers DIR, beside the comparison relays built there, each relay against a
// Bridge of its own.
#include "Phases.h"
#include "Relays.h"
#include "Report.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace vantrel::bench;

namespace {

constexpr const char* kUsage =
    "usage: vantrel-bench --mcp PATH [--floor PATH] [--peers DIR] [--json OUT] [--quick]\n"
    "                     [--only PHASE]...   (PHASE: cold ping get_asset held many slow_host "
    "large)\n";

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
  std::string mcpPath, peersDir, jsonPath;
  bool quick = false;
  std::set<std::string> only; // phases to run; all when empty
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
      mcpPath = value();
    else if (arg == "--peers")
      peersDir = value();
    else if (arg == "--floor")
      config.floorPath = value();
    else if (arg == "--json")
      jsonPath = value();
    else if (arg == "--quick")
      quick = true;
    else if (arg == "--only")
      only.insert(value());
    else {
      std::cerr << kUsage;
      return 2;
    }
  }
  if (mcpPath.empty()) {
    std::cerr << kUsage;
    return 2;
  }
  if (config.floorPath.empty()) // built beside us
    config.floorPath = (fs::path(argv[0]).parent_path() / "vantrel-bench-floor").string();
  for (const auto& path : {mcpPath, config.floorPath}) {
    if (::access(path.c_str(), X_OK) != 0) {
      std::cerr << "vantrel-bench: not an executable: " << path << "\n";
      return 2;
    }
  }
  if (quick)
    config = BenchConfig::quick(config);

  // A peer that is missing is reported as not run; it does not stop the run.
  const std::vector<Peer> peers = findPeers(peersDir);
  std::vector<PeerColumn> columns;
  for (const auto& peer : peers)
    columns.push_back({peer.name, peer.notRun});
  // Each relay's support directory lives in a temporary home for the run and goes with it.
  std::unique_ptr<Lineup> lineup;
  try {
    lineup = std::make_unique<Lineup>(mcpPath, peers, randomToken());
  } catch (const std::runtime_error& error) {
    std::cerr << "vantrel-bench: cannot set up the fake Bridges: " << error.what() << "\n";
    return 1;
  }
  const std::vector<Subject>& relays = lineup->subjects();

  const nlohmann::json loadBefore = loadAverage();
  Report report(columns);
  // In this order; the last two each leave their large card served by every Bridge.
  using Phase = void (*)(const BenchConfig&, const std::vector<Subject>&, Report&);
  const std::pair<const char*, Phase> phases[] = {
      {"cold", runColdStart},  {"ping", runPing}, {"get_asset", runGetAsset},
      {"held", runHeld},       {"many", runMany}, {"slow_host", runSlowHost},
      {"large", runLargeReply}};
  for (const auto& [name, run] : phases) {
    if (only.empty() || only.contains(name))
      run(config, relays, report);
  }
  addFramingRow(relays, report);

  const nlohmann::json loadAfter = loadAverage();
  std::cout << report.table();
  auto load = [](const nlohmann::json& value) {
    return value.is_number() ? formatNumber(value.get<double>()) : std::string("n/a");
  };
  std::cout << "load average (1 min): " << load(loadBefore) << " at start, " << load(loadAfter)
            << " at end, on " << std::thread::hardware_concurrency() << " CPUs\n";
  std::cout << "targets missed: " << report.missed() << (quick ? " (quick run)" : "") << "\n";
  if (report.unmeasured() > 0)
    std::cout << "targets not measured: " << report.unmeasured()
              << (peersDir.empty() ? " (set against the Rust relay: run with --peers DIR)"
                                   : " (see the notes above)")
              << "\n";
  if (!jsonPath.empty()) {
    nlohmann::json setup = {{"mcp", mcpPath},
                            {"peersDir", peersDir},
                            {"quick", quick},
                            {"cpus", std::thread::hardware_concurrency()},
                            {"coldStarts", config.coldStarts},
                            {"pings", config.pings},
                            {"pipelined", config.pipelined},
                            {"pipelinedRounds", config.pipelinedRounds},
                            {"assetCalls", config.assetCalls},
                            {"heldCalls", config.heldCalls},
                            {"heldPings", config.heldPings},
                            {"manyCalls", config.manyCalls},
                            {"holdMs", config.hold.count()},
                            {"settleMs", config.settle.count()},
                            {"largeBytes", config.largeBytes},
                            {"largeRounds", config.largeRounds},
                            {"slowHostBytes", config.slowHostBytes},
                            {"slowHostRate", config.slowHostRate},
                            {"slowHostRounds", config.slowHostRounds},
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
  lineup.reset();
  // Missed targets are findings, not failures of the benchmark; only a broken run says so.
  return 0;
}
