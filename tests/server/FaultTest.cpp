// A hostile or careless agent host, seen end to end: the real binary over pipes. Whatever comes
// in, the server neither crashes nor hangs, answers each request once, and reads on.
#include "support/FakeBridge.h"
#include "support/McpProcess.h"
#include "support/SupportDir.h"

#include <gtest/gtest.h>

#include <map>
#include <sys/resource.h>

namespace vantrel::testing {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

const json kParseError =
    json::parse(R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"无法解析 JSON"}})");

TEST(FaultTest, AgentHostClosingStandardOutputNeitherKillsNorHangsTheServer) {
  FakeBridge bridge;
  SupportDir dir;
  dir.writeToken(bridge.port(), "t");
  bridge.on("GET", "/assets/slow", Reply{.body = std::string(1 << 20, 'x'), .delay = 300ms});
  McpProcess mcp(dir.env());
  mcp.sendLine(R"({"jsonrpc":"2.0","id":1,"method":"ping"})");
  ASSERT_TRUE(mcp.readLine(10s));

  // A call in flight when the reader goes, then answers written into the closed pipe: each
  // write fails with EPIPE, and not one of them may end the process by SIGPIPE.
  mcp.send(toolCall(2, "get_asset", {{"shortID", "slow"}}));
  mcp.closeOutput();
  for (int id = 3; id < 50; ++id)
    mcp.sendLine(R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"tools/list"})");
  mcp.send(toolCall(50, "get_asset", {{"shortID", "after-close"}}));

  auto start = std::chrono::steady_clock::now();
  mcp.finish(20s);
  EXPECT_EQ(mcp.exitStatus(), 0) << "negative: ended by that signal; nothing: had to be killed";
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_EQ(mcp.stderrText(), "");
  // The started calls still ran to the end: their usage reports went out.
  EXPECT_TRUE(bridge.waitForRequests("/telemetry", 2, 10s));
}

TEST(FaultTest, TwentyMegabyteRequestLineIsAnswered) {
  FakeBridge bridge;
  SupportDir dir;
  dir.writeToken(bridge.port(), "t");
  McpProcess mcp(dir.env());
  const std::string content(20u << 20, 'c');

  mcp.send(toolCall(1, "add_note", {{"shortID", "big"}, {"content", content}}));
  auto reply = mcp.readJson(60s);
  ASSERT_TRUE(reply);
  EXPECT_EQ((*reply)["id"], 1);
  auto result = toolText((*reply)["result"]);
  EXPECT_FALSE(result.isError) << result.text.substr(0, 200);
  EXPECT_EQ(result.text, "{}");
  auto posted = bridge.requestsTo("/assets/big/notes");
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_TRUE(posted[0].json()["content"] == content);

  mcp.sendLine(R"({"jsonrpc":"2.0","id":2,"method":"ping","params":{"pad":")" + content + "\"}}");
  auto pong = mcp.readJson(60s);
  ASSERT_TRUE(pong);
  EXPECT_EQ(*pong, json::parse(R"({"jsonrpc":"2.0","id":2,"result":{}})"));
  expectPingAnswered(mcp);
  expectCleanExit(mcp);
}

TEST(FaultTest, DeepNestingIsAParseErrorAndTheNextLineIsAnswered) {
  SupportDir dir;
  McpProcess mcp(dir.env());

  mcp.sendLine(std::string(100000, '[') + std::string(100000, ']'));
  EXPECT_EQ(mcp.readJson(10s), kParseError);
  expectPingAnswered(mcp);

  mcp.sendLine(R"({"jsonrpc":"2.0","id":)" + std::string(10000, '[') + std::string(10000, ']') +
               R"(,"method":"ping"})");
  EXPECT_EQ(mcp.readJson(10s), kParseError);
  expectPingAnswered(mcp);

  // Unbalanced and never closed: the same answer, not a wait for more input.
  mcp.sendLine(R"({"id":1,"params":)" + std::string(100000, '{'));
  EXPECT_EQ(mcp.readJson(10s), kParseError);
  expectPingAnswered(mcp);
  expectCleanExit(mcp);
}

TEST(FaultTest, InvalidUtf8InsideStringsIsReplacedAndAnswered) {
  FakeBridge bridge;
  SupportDir dir;
  dir.writeToken(bridge.port(), "t");
  bridge.on("GET", "/assets/x\uFFFDy", Reply{.body = R"({"shortID":"x?y"})"});
  McpProcess mcp(dir.env());

  mcp.sendLine("{\"jsonrpc\":\"2.0\",\"id\":\"a\xff\xfe"
               "b\",\"method\":\"no\xc3\"}");
  auto rejected = mcp.readJson(10s);
  ASSERT_TRUE(rejected);
  EXPECT_EQ((*rejected)["id"], "a\uFFFD\uFFFDb");
  EXPECT_EQ((*rejected)["error"]["code"], -32601);
  EXPECT_EQ((*rejected)["error"]["message"], "no\uFFFD");

  mcp.sendLine("{\"jsonrpc\":\"2.0\",\"id\":7,\"method\":\"tools/call\",\"params\":{\"name\":"
               "\"get_asset\",\"arguments\":{\"shortID\":\"x\xc3y\"}}}");
  auto reply = mcp.readJson(10s);
  ASSERT_TRUE(reply);
  EXPECT_EQ((*reply)["id"], 7);
  EXPECT_EQ(toolText((*reply)["result"]).text, R"({"shortID":"x?y"})");
  auto asked = bridge.requests();
  ASSERT_FALSE(asked.empty());
  EXPECT_EQ(asked[0].path, "/assets/x%EF%BF%BDy");
  expectPingAnswered(mcp);
  expectCleanExit(mcp);
}

TEST(FaultTest, TwoThousandConcurrentToolCallsAreEachAnsweredOnce) {
  constexpr int kCalls = 2000;
  // One socket per call in flight, on both sides of the loopback.
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < 3 * kCalls + 512 &&
      files.rlim_cur < files.rlim_max) {
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 3 * kCalls + 512);
    ::setrlimit(RLIMIT_NOFILE, &files);
  }
  FakeBridge bridge(256);
  SupportDir dir;
  dir.writeToken(bridge.port(), "t");
  for (int i = 0; i < kCalls; ++i) {
    bridge.on("GET", "/assets/c" + std::to_string(i),
              Reply{.body = R"({"n":)" + std::to_string(i) + "}", .delay = 20ms});
  }
  McpProcess mcp(dir.env());

  std::string lines;
  for (int i = 0; i < kCalls; ++i)
    lines += toolCall(i, "get_asset", {{"shortID", "c" + std::to_string(i)}}).dump() + "\n";
  mcp.writeRaw(lines);

  std::map<int, std::string> texts;
  int duplicates = 0;
  for (int i = 0; i < kCalls; ++i) {
    auto reply = mcp.readJson(60s);
    ASSERT_TRUE(reply) << "only " << i << " replies";
    auto result = toolText((*reply)["result"]);
    if (!texts.emplace((*reply)["id"].get<int>(), result.text).second)
      ++duplicates;
  }
  EXPECT_EQ(duplicates, 0);
  ASSERT_EQ(texts.size(), static_cast<std::size_t>(kCalls));
  for (int i = 0; i < kCalls; ++i)
    EXPECT_EQ(texts[i], R"({"n":)" + std::to_string(i) + "}") << "call " << i;
  expectPingAnswered(mcp);
  expectCleanExit(mcp);
}

} // namespace
} // namespace vantrel::testing
