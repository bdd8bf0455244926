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
  config.hold = 100ms;

  Report report;
  runColdStart(config, report);
  runPing(config, report);
  runGetAsset(config, bridge, report);
  runHeld(config, bridge, report);

  std::string table = report.table();
  EXPECT_EQ(table.find("FAILED"), std::string::npos) << table;
  auto json = report.toJson({});
  for (const char* key : {"cold_start_ms", "exit_after_eof_ms", "ping_p50_ratio",
                          "pipelined_pings_per_s", "get_asset_p50_ratio", "server_cpu_us_per_call",
                          "bridge_connections", "held_wall_s", "held_ping_ms"})
    EXPECT_TRUE(json["results"].contains(key)) << key;
  EXPECT_GT(json["results"]["pipelined_pings_per_s"]["value"], 0);
  EXPECT_EQ(bridge.counts().unauthorized, 0u);
}

} // namespace
} // namespace vantrel::bench
