// Calls at a Bridge that serves its connections from a fixed pool of threads and keeps each one a
// while after its answer, as a host app's HTTP server commonly does, while the rest wait in its
// listen backlog. A connection the server keeps idle holds one of those threads: kept while other
// calls' connections wait for one, it stalls them until the Bridge's keep-alive runs out.
// Labels: e2e concurrency
#include "driver/Descriptors.h"
#include "support/FakeBridge.h"
#include "support/McpProcess.h"
#include "support/SupportDir.h"

#include <gtest/gtest.h>

#include <set>

namespace vantrel::testing {

using namespace vantrel::driver;
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// As many threads as the platform's own HTTP client opens connections to one host.
constexpr ServingLimit kPooledBridge{.connections = 6, .keepAlive = 5s};
// Well under the keep-alive: a burst that took longer had a call wait for it.
constexpr auto kBurstBound = kPooledBridge.keepAlive / 2;

// The server, started against a fresh pooled Bridge whose assets answer with their own path.
struct PooledSetup {
  PooledSetup() {
    bridge.onPrefix("GET", "/assets/",
                    [](const RecordedRequest& request) { return Reply{.body = request.path}; });
    dir.writeToken(bridge.port(), "t");
    expectPingAnswered(mcp); // started: what follows is timed, not the start
  }

  FakeBridge bridge{{}, kPooledBridge};
  SupportDir dir;
  McpProcess mcp{dir.env()};
};

std::string getAssetLine(int id) {
  return toolCallRequest(id, "get_asset", {{"shortID", "a" + std::to_string(id)}}).dump() + "\n";
}

// Writes `calls` get_asset calls at once and reads every answer, each the asset asked for, for
// at most 30 s in all; returns the time from the write to the last answer.
Clock::duration burstAtPooledBridge(int calls) {
  // One socket per call in flight in the server, and one per usage report.
  const auto shortfall = descriptorShortfall(2 * static_cast<std::uint64_t>(calls) + 256);
  PooledSetup setup;
  std::string lines;
  for (int id = 0; id < calls; ++id)
    lines += getAssetLine(id);
  const auto sent = Clock::now();
  const auto deadline = sent + 30s;
  setup.mcp.writeRaw(lines);
  std::set<int> answered;
  while (answered.size() < static_cast<std::size_t>(calls)) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    auto reply = setup.mcp.readJson(std::max(left, 0ms));
    if (!reply)
      break;
    const int id = (*reply)["id"].get<int>();
    EXPECT_TRUE(answered.insert(id).second) << "answered twice: " << id;
    EXPECT_EQ(toolText((*reply)["result"]).text, "/assets/a" + std::to_string(id));
  }
  const auto took = Clock::now() - sent;
  EXPECT_EQ(answered.size(), static_cast<std::size_t>(calls))
      << "answered in 30 s. " << shortfall.value_or("");
  expectPingAnswered(setup.mcp);
  expectCleanExit(setup.mcp);
  return took;
}

std::string inMs(Clock::duration took) {
  return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()) +
         " ms";
}

TEST(BurstTest, BurstsBeyondTheBridgesThreadsAreAnsweredWithoutWaitingOutItsKeepAlive) {
  for (int calls : {17, 50}) {
    SCOPED_TRACE(std::to_string(calls) + " calls");
    auto took = burstAtPooledBridge(calls);
    EXPECT_LT(took, kBurstBound) << "the last answered after " << inMs(took);
  }
}

TEST(BurstTest, ThousandCallsAtOnceAreAnsweredWithoutWaitingOutItsKeepAlive) {
  auto took = burstAtPooledBridge(1000);
  EXPECT_LT(took, kBurstBound) << "the last answered after " << inMs(took);
}

// Each call's usage report goes out as the agent sends the next call: the two overlap, and each
// keeps its connection for the next of its kind. Connections opened anew for every call would be
// a connect per call, and past the Bridge's threads, a stall.
TEST(BurstTest, SequentialCallsAndTheirReportsReuseNoMoreConnectionsThanTheBridgeServes) {
  constexpr int kCalls = 100;
  PooledSetup setup;
  for (int id = 0; id < kCalls; ++id) {
    setup.mcp.writeRaw(getAssetLine(id));
    auto reply = setup.mcp.readJson();
    ASSERT_TRUE(reply) << "call " << id;
    EXPECT_EQ(toolText((*reply)["result"]).text, "/assets/a" + std::to_string(id));
  }
  expectCleanExit(setup.mcp); // its last reports out
  std::set<std::uint64_t> connections;
  for (const auto& request : setup.bridge.requests())
    connections.insert(request.connection);
  EXPECT_EQ(setup.bridge.requestsTo("/telemetry").size(), std::size_t{kCalls});
  EXPECT_LE(connections.size(), kPooledBridge.connections);
}

} // namespace
} // namespace vantrel::testing
