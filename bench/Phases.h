#pragma once

#include "BenchBridge.h"
#include "Report.h"

#include <chrono>
#include <cstddef>
#include <map>
#include <string>

namespace vantrel::bench {

struct BenchConfig {
  std::string mcpPath;
  std::string floorPath;
  std::map<std::string, std::string> childEnv; // the server's whole environment
  int coldStarts = 20;
  int warmup = 500;
  int pings = 20000;
  int pipelined = 50000;
  int assetCalls = 20000;
  int heldCalls = 1000;
  int manyCalls = 10000;
  std::chrono::milliseconds hold{1000};
  std::size_t largeBytes = 64u << 20;

  static BenchConfig quick(BenchConfig full); // the same run, small enough for seconds
};

// Each phase starts its own server, adds its rows to `report`, and on a failure records it there
// and returns; none leaves a process behind. Every reply line a phase checks is counted in the
// report's framing tally.
void runColdStart(const BenchConfig& config, Report& report);
void runPing(const BenchConfig& config, Report& report);
void runGetAsset(const BenchConfig& config, BenchBridge& bridge, Report& report);
// A small get_asset while a config.largeBytes reply is on its way from the Bridge.
void runLargeReply(const BenchConfig& config, BenchBridge& bridge, Report& report);
// config.heldCalls calls held config.hold by the Bridge, with a ping among them.
void runHeld(const BenchConfig& config, BenchBridge& bridge, Report& report);
// config.manyCalls calls held at once. Raises this process's open-file limit first, and fails
// the phase with the reason when the hard limit leaves too few descriptors.
void runMany(const BenchConfig& config, BenchBridge& bridge, Report& report);

// The row for the framing tally of every phase run so far: target no misframed line.
void addFramingRow(Report& report);

} // namespace vantrel::bench
