// The real binary over pipes, as an agent host runs it.
// Labels: e2e concurrency
#include "support/FakeBridge.h"
#include "support/McpProcess.h"
#include "support/SupportDir.h"

#include <gtest/gtest.h>

#include <set>

namespace vantrel::testing {

using namespace vantrel::driver;
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

TEST(StdioTest, NothingBeforeTheFirstRequestThenOneLineEachAndEndOfInputExitsZero) {
  SupportDir dir;
  McpProcess mcp(dir.env());
  EXPECT_EQ(mcp.readLine(200ms), std::nullopt);
  mcp.sendLine(R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})");
  auto lines = mcp.finish();
  ASSERT_EQ(lines.size(), 1u);
  auto reply = json::parse(lines[0]);
  EXPECT_EQ(reply["id"], 1);
  EXPECT_EQ(reply["result"]["tools"].size(), 13u);
  EXPECT_EQ(mcp.exitStatus(), 0);
  EXPECT_EQ(mcp.stderrText(), "");
}

TEST(StdioTest, ASlowCallDelaysNeitherLaterCallsNorTheReadingThread) {
  FakeBridge bridge;
  SupportDir dir;
  dir.writeToken(bridge.port(), "t");
  // Held until the host app quits below: the order of the replies then needs no clock.
  bridge.on("GET", "/assets/slow", Reply{.body = R"({"shortID":"slow"})", .delay = 600s});
  bridge.on("GET", "/assets/fast", Reply{.body = R"({"shortID":"fast"})"});
  McpProcess mcp(dir.env());

  mcp.send(toolCallRequest(1, "get_asset", {{"shortID", "slow"}}));
  ASSERT_TRUE(bridge.waitForRequests("/assets/slow", 1, 10s));
  mcp.send(toolCallRequest(2, "get_asset", {{"shortID", "fast"}}));
  mcp.sendLine(R"({"jsonrpc":"2.0","id":3,"method":"ping"})");
  std::set<json> early;
  for (int i = 0; i < 2; ++i) {
    auto reply = mcp.readJson(10s);
    ASSERT_TRUE(reply) << "reply " << i;
    early.insert((*reply)["id"]);
    if ((*reply)["id"] == 2) {
      EXPECT_EQ(toolText((*reply)["result"]).text, R"({"shortID":"fast"})");
    }
  }
  EXPECT_EQ(early, (std::set<json>{2, 3}));

  // The slow call was still waiting all along; it ends when the host app goes.
  bridge.stop();
  auto slow = mcp.readJson(10s);
  ASSERT_TRUE(slow);
  EXPECT_EQ((*slow)["id"], 1);
  EXPECT_TRUE(toolText((*slow)["result"]).text.starts_with("连接 Bridge 失败："));
  expectCleanExit(mcp);
}

TEST(StdioTest, EndOfInputWaitsForEveryStartedCall) {
  FakeBridge bridge;
  SupportDir dir;
  dir.writeToken(bridge.port(), "t");
  bridge.on("GET", "/events", Reply{.body = R"({"events":[]})", .delay = 700ms});
  McpProcess mcp(dir.env());
  for (int id = 1; id <= 20; ++id)
    mcp.send(toolCallRequest(id, "get_events", json::object()));
  mcp.closeInput(); // at once, while all twenty are still at the Bridge
  auto replies = mcp.toolReplies(20);
  EXPECT_EQ(replies.size(), 20u);
  for (const auto& [id, result] : replies)
    EXPECT_EQ(result.text, R"({"events":[]})") << id;
  expectCleanExit(mcp);
}

} // namespace
} // namespace vantrel::testing
