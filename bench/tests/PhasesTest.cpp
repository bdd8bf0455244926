#include "Phases.h"

#include "support/SupportDir.h"

#include <gtest/gtest.h>

namespace vantrel::bench {
namespace {

using namespace std::chrono_literals;

// Every phase, run small against the real server: each must finish with its rows and without a
// failure, whatever the figures.
TEST(PhasesTest, AllPhasesRunAgainstTheRealServer) {
  BenchBridge bridge("tok");
  testing::SupportDir home;
  home.writeToken(bridge.port(), "tok");

  BenchConfig config;
  config.mcpPath = VANTREL_MCP_PATH;
  config.floorPath = VANTREL_BENCH_FLOOR_PATH;
  config.childEnv = home.env();
  config.coldStarts = 2;
  config.warmup = 5;
  config.pings = 50;
  config.pipelined = 200;
  config.assetCalls = 50;
  config.heldCalls = 20;
  config.manyCalls = 60;
  // Generous: the ping waits for every held call to reach the Bridge, which must happen well
  // within the hold even under a sanitizer.
  config.hold = 400ms;
  config.largeBytes = 1u << 20;

  Report report;
  runColdStart(config, report);
  runPing(config, report);
  runGetAsset(config, bridge, report);
  runLargeReply(config, bridge, report);
  runHeld(config, bridge, report);
  runMany(config, bridge, report);
  addFramingRow(report);

  std::string table = report.table();
  EXPECT_EQ(table.find("FAILED"), std::string::npos) << table;
  auto json = report.toJson({});
  for (const char* key :
       {"cold_start_ratio", "exit_after_eof_ms", "ping_p50_ratio", "pipelined_pings_per_s",
        "get_asset_p50_ratio", "get_asset_p99_ratio", "server_cpu_us_per_call",
        "bridge_connections", "large_small_ms", "large_reply_ms", "held_wall_s", "held_cpu_ms",
        "held_ping_ms", "many_right", "many_peak_rss_mib"})
    EXPECT_TRUE(json["results"].contains(key)) << key;
  const auto& results = json["results"];
  EXPECT_GT(results["pipelined_pings_per_s"]["value"], 0);
  EXPECT_FALSE(results["large_reply_ms"]["value"].is_null()) << table;
  EXPECT_FALSE(results["large_small_ms"]["value"].is_null()) << table;
  // The ping among held calls went out only once all of them were in flight.
  EXPECT_EQ(results["held_ping_in_flight"]["value"], config.heldCalls) << table;
  EXPECT_EQ(results["many_right"]["met"], true) << table;
  EXPECT_EQ(results["misframed_replies"]["value"], 0) << table;
  EXPECT_GT(report.repliesChecked(), static_cast<std::uint64_t>(config.pipelined));
  EXPECT_EQ(bridge.counts().unauthorized, 0u);
}

} // namespace
} // namespace vantrel::bench
