// A Bridge that misbehaves, seen end to end: the real binary over pipes, a fake Bridge on
// loopback. Each call is answered once with the exact text, and the server goes on answering.
// What the client makes of each single reply is BridgeClientTest's; these are the faults whose
// harm only shows in the whole process.
// Labels: e2e concurrency
#include "common/ReplyLimit.h"
#include "support/FakeBridge.h"
#include "support/McpProcess.h"
#include "support/SupportDir.h"

#include <gtest/gtest.h>

namespace vantrel::testing {

using namespace vantrel::driver;
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// The reply to one tool call, which must be the next line; its id checked.
ToolText callOnce(McpProcess& mcp, int id, const std::string& name, const json& arguments) {
  mcp.send(toolCallRequest(id, name, arguments));
  auto reply = mcp.readJson(15s);
  if (!reply) {
    ADD_FAILURE() << "no reply to call " << id;
    return {};
  }
  EXPECT_EQ((*reply)["id"], id);
  return toolText((*reply)["result"]);
}

TEST(BridgeFaultTest, ConnectionResetMidReplyIsRetriedOnceThenReported) {
  const std::string body = R"({"shortID":"abc","title":")" + std::string(4000, 'x') + "\"}";
  // A status line, headers and half the body, then a reset: three times, then the whole reply.
  const Reply cut{.raw = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                         std::to_string(body.size()) + "\r\n\r\n" + body.substr(0, body.size() / 2),
                  .resetAfter = true};
  FakeBridge bridge;
  bridge.on("GET", "/assets/abc", std::vector<Reply>{cut, cut, cut, Reply{.body = body}});
  SupportDir dir;
  dir.writeToken(bridge.port(), "t");
  McpProcess mcp(dir.env());

  // Both attempts cut: the second failure's description, wrapped, and status 0.
  const std::string prefix = "连接 Bridge 失败：";
  const std::string hint = "。若砚舟刚重启过，请重试一次；仍失败请确认砚舟 app 正在运行。";
  auto failed = callOnce(mcp, 1, "get_asset", {{"shortID", "abc"}});
  EXPECT_TRUE(failed.isError);
  EXPECT_TRUE(failed.text.starts_with(prefix)) << failed.text;
  EXPECT_TRUE(failed.text.ends_with(hint)) << failed.text;
  EXPECT_GT(failed.text.size(), prefix.size() + hint.size());
  EXPECT_EQ(bridge.requestsTo("/assets/abc").size(), 2u);

  // The third cut is followed by a whole answer: the retry's body comes back intact.
  auto recovered = callOnce(mcp, 2, "get_asset", {{"shortID", "abc"}});
  EXPECT_FALSE(recovered.isError);
  EXPECT_EQ(recovered.text, body);
  EXPECT_EQ(bridge.requestsTo("/assets/abc").size(), 4u);

  expectPingAnswered(mcp);
  expectCleanExit(mcp);
}

// The host ends the whole session on a line past its limit: a reply that makes the line exactly
// as long as the limit allows arrives whole; one byte more is refused, named, and reported with the
// Bridge's status, and the session goes on.
// Labels: slow
TEST(BridgeFaultTest, AReplyUpToTheLineLimitArrivesWholeOneByteMoreIsRefused) {
  FakeBridge bridge;
  SupportDir dir;
  dir.writeToken(bridge.port(), "t");
  const std::string frame =
      R"({"jsonrpc":"2.0","id":1,"result":{"content":[{"type":"text","text":""}],"isError":false}})"
      "\n";
  const std::size_t fits = kMaxResponseLine - frame.size();
  bridge.on("GET", "/assets/fits", Reply{.body = std::string(fits, 'b')});
  bridge.on("GET", "/assets/over", Reply{.body = std::string(fits + 1, 'b')});
  McpProcess mcp(dir.env());

  mcp.send(toolCallRequest(1, "get_asset", {{"shortID", "fits"}}));
  auto line = mcp.readLine(60s);
  ASSERT_TRUE(line);
  EXPECT_EQ(line->size() + 1, kMaxResponseLine) << "the line, its line feed included";
  auto whole = toolText(json::parse(*line)["result"]);
  EXPECT_FALSE(whole.isError);
  EXPECT_EQ(whole.text.size(), fits);

  auto refused = callOnce(mcp, 1, "get_asset", {{"shortID", "over"}});
  EXPECT_TRUE(refused.isError);
  EXPECT_EQ(refused.text,
            "Bridge 的回复过大：共 " + std::to_string(fits + 1) +
                " 字节，超过 agent 宿主单条消息 " + std::to_string(kMaxResponseLine) +
                " 字节（约 9.9 MiB）的上限，未转给 agent。请缩小请求范围后重试（如减小 "
                "limit）。");
  EXPECT_EQ(bridge.requestsTo("/assets/over").size(), 1u) << "not asked for again";
  expectPingAnswered(mcp);
  ASSERT_TRUE(bridge.waitForRequests("/telemetry", 2, 10s));
  auto reports = bridge.requestsTo("/telemetry");
  EXPECT_EQ(reports[1].json()["status"], 200) << reports[1].body;
  EXPECT_EQ(reports[1].json()["ok"], false);
  expectCleanExit(mcp);
}

} // namespace
} // namespace vantrel::testing
