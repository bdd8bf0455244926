#include "Phases.h"

#include <gtest/gtest.h>

namespace vantrel::bench {
namespace {

using namespace std::chrono_literals;

// Labels: e2e concurrency slow

// Every phase, run small against the real server, with the server standing in for the Rust
// relay too: each must finish with its rows and without a failure, whatever the figures, and
// every figure measured on each relay must reach that relay's column.
TEST(PhasesTest, AllPhasesRunAgainstTheRealServerAndAPeer) {
  std::vector<Peer> peers = {{kRust, VANTREL_MCP_PATH, ""}, {"Go", "/nonexistent", "missing"}};
  Lineup lineup(VANTREL_MCP_PATH, peers, "tok");
  const auto& relays = lineup.subjects();
  ASSERT_EQ(relays.size(), 2u); // the missing peer is not run
  ASSERT_NE(relays[0].bridge, relays[1].bridge);

  BenchConfig config;
  config.floorPath = VANTREL_BENCH_FLOOR_PATH;
  config.coldStarts = 2;
  config.warmup = 5;
  config.pings = 50;
  config.pipelined = 200;
  config.pipelinedRounds = 2;
  config.assetCalls = 50;
  config.heldCalls = 20;
  config.manyCalls = 60;
  // Generous: the ping waits for every held call to reach the Bridge, which must happen well
  // within the hold even under a sanitizer.
  config.hold = 400ms;
  config.largeBytes = 1u << 20;
  config.largeRounds = 2;
  config.slowHostBytes = 1u << 20;
  config.slowHostRounds = 2;
  config.settle = 1ms;

  Report report({{kRust, ""}, {"Go", "missing"}});
  runColdStart(config, relays, report);
  runPing(config, relays, report);
  runGetAsset(config, relays, report);
  runSlowHost(config, relays, report);
  runLargeReply(config, relays, report);
  runHeld(config, relays, report);
  runMany(config, relays, report);
  addFramingRow(relays, report);

  std::string table = report.table();
  EXPECT_EQ(table.find("FAILED"), std::string::npos) << table;
  auto json = report.toJson({});
  const auto& results = json["results"];
  for (const char* key : {"cold_start_ratio",
                          "exit_after_eof_ms",
                          "ping_p50_ratio",
                          "pipelined_pings_per_s",
                          "get_asset_p50_ratio",
                          "get_asset_p99_ratio",
                          "server_cpu_us_per_call",
                          "bridge_connections",
                          "large_small_ms",
                          "large_reply_ms",
                          "large_reply_ratio",
                          "large_peak_rss_mib",
                          "held_wall_s",
                          "held_cpu_ms",
                          "held_ping_ms",
                          "held_ping_behind_ms",
                          "slow_host_call_ms",
                          "slow_host_answer_ms",
                          "many_right",
                          "many_peak_rss_mib",
                          "misframed_replies"}) {
    ASSERT_TRUE(results.contains(key)) << key;
    EXPECT_FALSE(results[key]["value"].is_null()) << key << "\n" << table;
    EXPECT_TRUE(results[key]["peers"][kRust].is_number()) << key << "\n" << table;
    EXPECT_EQ(results[key]["peers"]["Go"], "not run") << key;
  }
  // Set against the stand-in, so measured and neither unmeasured nor blank.
  for (const char* key : {"get_asset_p50_vs_rust", "server_cpu_vs_rust", "pipelined_vs_rust"}) {
    EXPECT_TRUE(results[key]["value"].is_number()) << key << "\n" << table;
    EXPECT_FALSE(results[key].contains("unmeasured")) << key;
  }
  // Only what is set against the relay that did not run.
  EXPECT_EQ(results["held_ping_behind_vs_go"]["unmeasured"], "the Go relay did not run") << table;
  EXPECT_EQ(report.unmeasured(), 1u) << table;
  // The ping among held calls went out only once all of them were in flight.
  EXPECT_EQ(results["held_ping_in_flight"]["value"], config.heldCalls) << table;
  EXPECT_EQ(results["held_ping_in_flight"]["peers"][kRust], config.heldCalls) << table;
  EXPECT_EQ(results["many_right"]["met"], true) << table;
  EXPECT_EQ(results["misframed_replies"]["value"], 0) << table;
  // Each relay's replies were checked and counted apart.
  for (const auto& relay : relays)
    EXPECT_GT(report.tally(relay.name).checked,
              static_cast<std::uint64_t>(config.pipelined * config.pipelinedRounds))
        << relay.name;
  for (const auto& relay : relays)
    EXPECT_EQ(relay.bridge->counts().unauthorized, 0u) << relay.name;
}

} // namespace
} // namespace vantrel::bench
