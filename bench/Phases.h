#pragma once

#include "Relays.h"
#include "Report.h"

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace vantrel::bench {

struct BenchConfig {
  std::string floorPath;
  int coldStarts = 20;
  int warmup = 500;
  int pings = 20000;
  int pipelined = 50000;
  int pipelinedRounds = 3; // the rate is their median
  int assetCalls = 20000;
  int heldCalls = 1000;
  int manyCalls = 10000;
  std::chrono::milliseconds hold{1000};
  std::size_t largeBytes = 80u << 20;
  int largeRounds = 3; // medians, and the peak over all
  // The pause before each timed turn where relays and floors take turns: a runtime that keeps
  // spinning or waking for a while after its work (Go's does, for milliseconds) must not slow
  // whatever runs next.
  std::chrono::milliseconds settle{10};

  static BenchConfig quick(BenchConfig full); // the same run, small enough for seconds
};

// Each phase measures every relay in `relays` (vantrel-mcp first) and adds its rows to `report`,
// each peer's figures beside vantrel-mcp's. Where a phase alternates with a floor, it runs the
// relays in turn within the same blocks, so drift on the machine hits all alike. A relay the
// phase cannot finish with is recorded as failed there and left out of the rest of the phase;
// none leaves a process behind. Every reply line a phase checks is counted in its relay's tally.
void runColdStart(const BenchConfig& config, const std::vector<Subject>& relays, Report& report);
void runPing(const BenchConfig& config, const std::vector<Subject>& relays, Report& report);
void runGetAsset(const BenchConfig& config, const std::vector<Subject>& relays, Report& report);
// A config.largeBytes reply, relayed in rounds against a direct GET of it, with a small get_asset
// sent while it is on its way. Leaves the large reply served by every Bridge.
void runLargeReply(const BenchConfig& config, const std::vector<Subject>& relays, Report& report);
// config.heldCalls calls held config.hold by the Bridge, with a ping among them.
void runHeld(const BenchConfig& config, const std::vector<Subject>& relays, Report& report);
// config.manyCalls calls held at once. Raises this process's open-file limit first, and fails
// the phase with the reason when the hard limit leaves too few descriptors.
void runMany(const BenchConfig& config, const std::vector<Subject>& relays, Report& report);

// The row for each relay's framing tally of every phase run so far: target no misframed line.
void addFramingRow(const std::vector<Subject>& relays, Report& report);

// The order in which the `count` turns of block `block` run: each block starts one later, so
// over `count` blocks each turn runs once in every place, first and last alike.
std::vector<std::size_t> rotation(std::size_t count, int block);
void settle(const BenchConfig& config); // sleeps config.settle

// The peak resident set a relay of a `replyBytes` reply may reach, in MiB: the reply held about
// once, and room for the process itself.
double largePeakLimitMiB(std::size_t replyBytes);

} // namespace vantrel::bench
