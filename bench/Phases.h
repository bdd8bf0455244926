#pragma once

#include "BenchBridge.h"
#include "Report.h"

#include <chrono>
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
  std::chrono::milliseconds hold{1000};

  static BenchConfig quick(BenchConfig full); // the same run, small enough for seconds
};

// Each phase starts its own server, adds its rows to `report`, and on a failure records it there
// and returns; none leaves a process behind.
void runColdStart(const BenchConfig& config, Report& report);
void runPing(const BenchConfig& config, Report& report);
void runGetAsset(const BenchConfig& config, BenchBridge& bridge, Report& report);
void runHeld(const BenchConfig& config, BenchBridge& bridge, Report& report);

} // namespace vantrel::bench
