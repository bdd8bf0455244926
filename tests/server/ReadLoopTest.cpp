// The read loop and method handling, driven in-process: lines in, lines out.
// Labels: concurrency
#include "driver/LineSplitter.h"
#include "server/MCPServer.h"
#include "support/InProcess.h"
#include "tools/Catalogue.h"

#include <gtest/gtest.h>

#include <mutex>
#include <set>

namespace vantrel::server {
namespace {

using nlohmann::json;

struct Run {
  std::string out; // the reply lines as written
  std::vector<json> replies;
  std::string errors;
  std::optional<std::string> clientName;     // as the registry holds it at the end
  std::vector<bridge::HttpRequest> toBridge; // tool requests and usage reports
};

// Runs the server to end of input over `input`. Without a Bridge there are no credentials, so
// no tool call gets past "not running"; with one, it answers every request {"ok":1}.
Run runInput(std::string input, bool withBridge = false,
             std::size_t loopThreads = loopThreadCount()) {
  Run run;
  std::mutex lock;
  auto transport =
      std::make_shared<vantrel::testing::ScriptedTransport>([](const bridge::HttpRequest&) {
        return testing::ScriptedReply{200, R"({"ok":1})"};
      });
  ServerOptions options;
  options.transport = transport;
  options.credentials = [withBridge] {
    return withBridge ? vantrel::testing::fixedCredentials() : bridge::CredentialsLookup{};
  };
  options.loopThreads = loopThreads;
  {
    MCPServer server(
        Input::bytes(std::move(input)),
        [&](std::string_view bytes) {
          std::lock_guard guard(lock);
          run.out.append(bytes);
          return true;
        },
        [&](std::string_view bytes) {
          run.errors.append(bytes);
          return true;
        },
        std::move(options));
    EXPECT_EQ(server.serve(), 0);
    run.clientName = server.tools().clientName();
  }
  run.toBridge = transport->requests();
  vantrel::driver::LineSplitter lines;
  lines.append(run.out);
  while (auto line = lines.next())
    run.replies.push_back(json::parse(*line));
  EXPECT_TRUE(lines.empty()) << "every reply ends with a line feed";
  return run;
}

Run runLines(const std::vector<std::string>& lines) {
  std::string input;
  for (const auto& line : lines)
    input += line + "\n";
  return runInput(input);
}

const json kParseError =
    json::parse(R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"无法解析 JSON"}})");

std::string nested(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

TEST(ReadLoopTest, LinesThatAreNotOneJsonObjectAreParseErrorsAndTheLoopGoesOn) {
  const std::string ping = R"({"jsonrpc":"2.0","id":1,"method":"ping"})";
  std::vector<std::string> lines = {
      "", "   ", "[]", "[" + ping + "]", "\"x\"", "42", "true", "null", "{", ping + " trailing",
      R"({"id":1e400,"method":"ping"})", // beyond the range of a double
      // A NUL ends nothing early: the ping before it is no request of its own.
      ping + '\0' + R"({"id":2,"method":"ping"})", ping + '\0' + "garbage",
      // Nesting beyond the limit, and unbalanced, never closed: the same answer, not a wait.
      R"({"id":)" + nested(100000) + R"(,"method":"ping"})",
      R"({"id":1,"method":"ping","params":)" + nested(600) + "}",
      R"({"id":1,"params":)" + std::string(100000, '{')};
  const std::size_t bad = lines.size();
  lines.push_back(R"({"jsonrpc":"2.0","id":7,"method":"ping"})");
  // What only looks deep is answered: moderate nesting, and brackets inside a string.
  lines.push_back(R"({"id":8,"method":"ping","params":{"a":)" + nested(400) + "}}");
  lines.push_back(R"({"id":")" + std::string(5000, '[') + R"(\"{","method":"ping"})");
  auto run = runLines(lines);
  ASSERT_EQ(run.replies.size(), bad + 3);
  for (std::size_t i = 0; i < bad; ++i)
    EXPECT_EQ(run.replies[i], kParseError) << "line " << i;
  EXPECT_EQ(run.replies[bad], json::parse(R"({"jsonrpc":"2.0","id":7,"result":{}})"));
  EXPECT_EQ(run.replies[bad + 1]["result"], json::object()) << run.replies[bad + 1];
  EXPECT_EQ(run.replies[bad + 2]["result"], json::object()) << run.replies[bad + 2];
  EXPECT_EQ(run.errors, "");
}

TEST(ReadLoopTest, NotificationsAreDroppedWithoutSideEffects) {
  auto run =
      runLines({R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
                R"({"jsonrpc":"2.0","method":"initialize","params":{"clientInfo":{"name":"x"}}})",
                R"({"jsonrpc":"2.0","method":"tools/call","params":{"name":"get_guide"}})",
                R"({"jsonrpc":"2.0","method":"no/such"})"});
  EXPECT_TRUE(run.replies.empty());
  EXPECT_EQ(run.clientName, std::nullopt);
}

TEST(ReadLoopTest, AnyIdIsEchoedAsTheSameJsonValue) {
  std::vector<std::string> ids = {R"("abc")",
                                  "0",
                                  "-5",
                                  "9007199254740993",
                                  "18446744073709551615",
                                  "1.5",
                                  "null",
                                  R"([1,"a",{"b":null}])",
                                  R"({"k":[true]})",
                                  R"("中文")"};
  std::vector<std::string> lines;
  for (const auto& id : ids)
    lines.push_back(R"({"jsonrpc":"2.0","method":"ping","id":)" + id + "}");
  auto run = runLines(lines);
  ASSERT_EQ(run.replies.size(), ids.size());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    EXPECT_EQ(run.replies[i]["id"], json::parse(ids[i]));
    EXPECT_EQ(run.replies[i]["result"], json::object());
  }
}

TEST(ReadLoopTest, UnknownOrMalformedMethodsAreRejectedWithTheMethodAsMessage) {
  auto run = runLines({R"({"id":1})", R"({"id":2,"method":5})", R"({"id":3,"method":"Ping"})",
                       R"({"id":4,"method":"resources/list"})",
                       R"({"id":5,"method":"notifications/initialized"})"});
  ASSERT_EQ(run.replies.size(), 5u);
  std::vector<std::string> messages = {"", "", "Ping", "resources/list",
                                       "notifications/initialized"};
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(run.replies[i], json({{"jsonrpc", "2.0"},
                                    {"id", i + 1},
                                    {"error", {{"code", -32601}, {"message", messages[i]}}}}));
  }
}

TEST(ReadLoopTest, FramingAcceptsCrLfAndAFinalLineWithoutTerminator) {
  auto run = runInput("{\"id\":1,\"method\":\"ping\"}\r\n{\"id\":2,\"method\":\"ping\"}");
  ASSERT_EQ(run.replies.size(), 2u);
  EXPECT_EQ(run.replies[0]["id"], 1);
  EXPECT_EQ(run.replies[1]["id"], 2);
}

TEST(ReadLoopTest, InvalidUtf8IsReplacedNotRejected) {
  auto run = runInput("{\"id\":\"a\xff\xfe"
                      "b\",\"method\":\"p\xc3\x28ing\"}\n"
                      R"({"id":7,"method":"tools/call","params":{"name":"get_asset",)"
                      "\"arguments\":{\"shortID\":\"x\xc3y\"}}}\n",
                      /*withBridge=*/true);
  ASSERT_EQ(run.replies.size(), 2u);
  EXPECT_EQ(run.replies[0]["id"], "a\uFFFD\uFFFDb");
  EXPECT_EQ(run.replies[0]["error"]["message"], "p\uFFFD(ing");
  EXPECT_EQ(run.replies[1]["result"]["isError"], false);
  ASSERT_FALSE(run.toBridge.empty());
  EXPECT_EQ(run.toBridge[0].target, "/assets/x%EF%BF%BDy");
}

TEST(ReadLoopTest, IntegerIdsPastSixtyFourBitsKeepTheirDigits) {
  // Answered on the reading thread, and from a tool call.
  const std::string out =
      runInput(
          R"({"id":123456789012345678901234567890,"method":"ping"})"
          "\n"
          R"({"id":-98765432109876543210987654321,"method":"tools/call","params":{"name":"x"}})"
          "\n"
          R"({"id":18446744073709551615,"method":"ping"})"
          "\n"
          R"({"id":1.5e300,"method":"ping"})"
          "\n")
          .out;
  for (const char* id : {"123456789012345678901234567890", "-98765432109876543210987654321",
                         "18446744073709551615", "1.5e+300"})
    EXPECT_NE(out.find(std::string(R"("id":)") + id + ","), std::string::npos) << id << out;
}

// A process limit may leave the loop without threads, or with one: every call is still answered.
TEST(ReadLoopTest, CallsAreAnsweredWithoutLoopThreadsOrWithOne) {
  std::string input;
  for (int id = 1; id <= 50; ++id)
    input += R"({"id":)" + std::to_string(id) +
             R"(,"method":"tools/call","params":{"name":"get_asset","arguments":{"shortID":"a"}}})"
             "\n";
  for (std::size_t threads : {0u, 1u}) {
    auto run = runInput(input, /*withBridge=*/true, threads);
    std::set<int> answered;
    for (const auto& reply : run.replies) {
      EXPECT_EQ(reply["result"]["content"][0]["text"], R"({"ok":1})");
      answered.insert(reply["id"].get<int>());
    }
    EXPECT_EQ(answered.size(), 50u) << threads << " loop threads";
  }
}

TEST(MethodTest, InitializeAnswersTheFixedResultWhateverIsAsked) {
  auto run = runLines(
      {R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2099-01-01"}})"});
  ASSERT_EQ(run.replies.size(), 1u);
  EXPECT_EQ(run.replies[0], json::parse(R"({"jsonrpc":"2.0","id":1,"result":{
      "protocolVersion":"2024-11-05","capabilities":{"tools":{}},
      "serverInfo":{"name":"vantrel-mcp","version":"1.0.0"},
      "instructions":"砚舟本地素材库。先调用 get_guide 阅读 agent 规范（实时读取，始终为最新），再用 search_assets 检索内容卡片。导入/写笔记需要砚舟 app 处于运行状态。"}})"));
}

TEST(MethodTest, ClientNameFollowsClientInfo) {
  auto init = [](const std::string& params) {
    return R"({"id":1,"method":"initialize","params":)" + params + "}";
  };
  // Set, then kept by initializes without a usable clientInfo object.
  auto kept = runLines({init(R"({"clientInfo":{"name":"Desk"}})"), init("{}"),
                        init(R"({"clientInfo":"Other"})"), R"({"id":2,"method":"initialize"})"});
  EXPECT_EQ(kept.clientName, "Desk");
  // Cleared by a clientInfo object without a string name.
  auto cleared =
      runLines({init(R"({"clientInfo":{"name":"Desk"}})"), init(R"({"clientInfo":{"name":42}})")});
  EXPECT_EQ(cleared.clientName, std::nullopt);
  auto nameless =
      runLines({init(R"({"clientInfo":{"name":"Desk"}})"), init(R"({"clientInfo":{}})")});
  EXPECT_EQ(nameless.clientName, std::nullopt);
}

TEST(MethodTest, ToolsListServesTheCatalogueInOneResult) {
  auto run = runLines({R"({"id":"l","method":"tools/list","params":{"cursor":"x"}})"});
  ASSERT_EQ(run.replies.size(), 1u);
  const json& result = run.replies[0]["result"];
  EXPECT_EQ(result.size(), 1u) << "no paging cursor";
  EXPECT_EQ(result["tools"], tools::toolDefinitions());
  EXPECT_EQ(result["tools"].size(), 13u);
}

TEST(MethodTest, PingIgnoresItsParams) {
  auto run = runLines(
      {R"({"id":1,"method":"ping","params":{"a":1}})", R"({"id":2,"method":"ping","params":[1]})"});
  ASSERT_EQ(run.replies.size(), 2u);
  EXPECT_EQ(run.replies[0]["result"], json::object());
  EXPECT_EQ(run.replies[1]["result"], json::object());
}

TEST(MethodTest, ToolCallsWithMalformedParamsReachTheRegistryAsUnknownTools) {
  auto run = runLines(
      {R"({"id":1,"method":"tools/call"})", R"({"id":2,"method":"tools/call","params":"x"})",
       R"({"id":3,"method":"tools/call","params":{"name":7}})",
       R"({"id":4,"method":"tools/call","params":{"name":"Get_Guide","arguments":[1]}})",
       R"({"id":5,"method":"tools/call","params":{"name":" get_guide","arguments":null}})"});
  ASSERT_EQ(run.replies.size(), 5u);
  const std::map<int, std::string> names = {
      {1, ""}, {2, ""}, {3, ""}, {4, "Get_Guide"}, {5, " get_guide"}};
  for (const auto& reply : run.replies) {
    const std::string text = "未知工具：" + names.at(reply["id"].get<int>());
    EXPECT_EQ(reply["result"],
              json({{"content", {{{"type", "text"}, {"text", text}}}}, {"isError", true}}));
  }
}

} // namespace
} // namespace vantrel::server
