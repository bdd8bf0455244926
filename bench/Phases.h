#pragma once

#include "Relays.h"
#include "Report.h"

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace vantrel::bench {

// The largest card body the relays are compared on: its reply line, escapes and envelope
// included, stays under the longest line the server writes (10 MiB less 64 KiB, what every agent
// host takes); a larger one is refused, not relayed.
inline constexpr std::size_t kLargestRelayedBody = 9u << 20;

struct BenchConfig {
  std::string floorPath;
  int coldStarts = 20;
  int warmup = 500;
  int pings = 20000;
  int pipelined = 50000;
  int pipelinedRounds = 3; // the rate is their median
  int assetCalls = 20000;
  int heldCalls = 1000;
  int heldPings = 25; // written one after another among the held calls; their median is the figure
  int manyCalls = 10000;
  std::chrono::milliseconds hold{1000};
  std::size_t largeBytes = kLargestRelayedBody;
  int largeRounds = 3; // medians, and the peak over all
  // A host that reads standard output slowly: each round a fresh relay answers a slowHostBytes
  // card to it at slowHostRate bytes a second while a second call comes in.
  std::size_t slowHostBytes = kLargestRelayedBody;
  double slowHostRate = 30e6;
  int slowHostRounds = 5; // medians
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
// A config.slowHostBytes answer read by a host at config.slowHostRate, a small get_asset written
// once its first bytes are in; when that call reached the Bridge, and when its answer the host.
// Leaves the large card served by every Bridge.
void runSlowHost(const BenchConfig& config, const std::vector<Subject>& relays, Report& report);
// config.heldCalls calls held config.hold by the Bridge, with config.heldPings pings among them.
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
