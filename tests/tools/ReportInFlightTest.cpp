// What only the real process shows about usage reports: a report the Bridge is slow to take
// holds back neither the tool's answer nor the exit at end of input.
#include "support/FakeBridge.h"
#include "support/McpProcess.h"
#include "support/SupportDir.h"

#include <gtest/gtest.h>

namespace vantrel::testing {
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

} // namespace
} // namespace vantrel::testing
