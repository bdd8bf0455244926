// What only the real process shows about usage reports: a report the Bridge is slow to take
// holds back neither the tool's answer nor the exit at end of input.
// Labels: e2e concurrency
#include "support/FakeBridge.h"
#include "support/McpProcess.h"
#include "support/SupportDir.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

namespace vantrel::testing {

using namespace vantrel::driver;
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

TEST(ReportInFlightTest, SlowReportsHoldBackNeitherAnswersNorTheExit) {
  FakeBridge bridge;
  SupportDir dir;
  dir.writeToken(bridge.port(), "t");
  // Far longer than any wait below: a server that waited for a report would miss them all.
  bridge.on("POST", "/telemetry", Reply{.delay = 60s});
  bridge.on("GET", "/events", Reply{.body = R"({"cursor":1})"});
  McpProcess mcp(dir.env());

  for (int id = 1; id <= 3; ++id) {
    auto reply = mcp.callTool("get_events", json::object(), id);
    EXPECT_EQ(toolText(reply).text, R"({"cursor":1})") << "call " << id;
  }
  // The reports did go out; they are recorded on arrival, before the fake's delay.
  EXPECT_TRUE(bridge.waitForRequests("/telemetry", 3, 10s));

  EXPECT_TRUE(mcp.finish(30s).empty());
  EXPECT_EQ(mcp.exitStatus(), 0) << "nothing: it had to be killed";
}

// Each report the Bridge never answers holds a connection for minutes. At an open-file limit of
// 128 they took the descriptors of 278 of 400 calls; now at most a quarter of the limit is theirs
// and a report beyond that is dropped.
TEST(ReportInFlightTest, UnansweredReportsLeaveDescriptorsForTheCalls) {
  constexpr int kCalls = 200;
  FakeBridge bridge;
  SupportDir dir;
  dir.writeToken(bridge.port(), "t");
  bridge.on("POST", "/telemetry", Reply{.delay = 600s});
  McpProcess mcp({.env = dir.env(),
                  .adjustments = {ChildProcess::Adjustment::limit(RLIMIT_NOFILE, 128, 128)}});
  int failed = 0;
  for (int id = 1; id <= kCalls; ++id)
    failed += toolText(mcp.callTool("get_events", json::object(), id)).isError;
  EXPECT_EQ(failed, 0);
  EXPECT_TRUE(bridge.waitForRequests("/telemetry", 32, 10s));
  EXPECT_EQ(bridge.requestsTo("/telemetry").size(), 32u) << "a quarter of 128 in flight at most";
  mcp.finish(30s);
  EXPECT_EQ(mcp.exitStatus(), 0);
}

} // namespace
} // namespace vantrel::testing
