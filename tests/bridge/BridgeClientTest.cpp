#include "bridge/BridgeClient.h"

#include "bridge/HttpTransport.h"
#include "support/FakeBridge.h"
#include "support/SupportDir.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <mutex>

namespace vantrel::bridge {
namespace {

using vantrel::testing::FakeBridge;
using vantrel::testing::Reply;
using vantrel::testing::SupportDir;
using namespace std::chrono_literals;

const std::string kNotRunning =
    "砚舟未运行：请先启动砚舟 app（Bridge 未就绪，未找到 bridge.token）。";
const std::string kConnectPrefix = "连接 Bridge 失败：";
const std::string kConnectSuffix = "。若砚舟刚重启过，请重试一次；仍失败请确认砚舟 app 正在运行。";

// Answers from a script and records what the client asked for; no sockets involved.
class ScriptedTransport : public HttpTransport {
public:
  using Step = std::function<HttpOutcome(const HttpRequest&)>;
  explicit ScriptedTransport(std::deque<Step> steps) : steps_(std::move(steps)) {}

  HttpOutcome perform(const HttpRequest& request) const noexcept override {
    Step step;
    {
      std::lock_guard lock(lock_);
      seen_.push_back(request);
      if (steps_.empty())
        return TransportFailure{"script ran out"};
      step = std::move(steps_.front());
      steps_.pop_front();
    }
    return step(request);
  }
  std::vector<HttpRequest> seen() const {
    std::lock_guard lock(lock_);
    return seen_;
  }

private:
  mutable std::mutex lock_; // guards steps_ and seen_
  mutable std::deque<Step> steps_;
  mutable std::vector<HttpRequest> seen_;
};

ScriptedTransport::Step reply(int status, std::string body) {
  return [=](const HttpRequest&) { return HttpOutcome(HttpReply{status, body}); };
}
ScriptedTransport::Step refuse(std::string description) {
  return [=](const HttpRequest&) { return HttpOutcome(TransportFailure{description}); };
}

class ScriptedClientTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir_.applyToThisProcess();
    dir_.writeToken(4321, "secret");
  }
  std::shared_ptr<ScriptedTransport> script(std::deque<ScriptedTransport::Step> steps) {
    return std::make_shared<ScriptedTransport>(std::move(steps));
  }
  SupportDir dir_;
};

TEST_F(ScriptedClientTest, GetFormsUrlAndOnlyTheAuthorizationHeader) {
  auto transport = script({reply(200, R"({"items":[]})")});
  BridgeClient client(transport);
  EXPECT_EQ(client.get("/assets", {{"query", "猫 & 狗"}, {"limit", "5"}}),
            ToolResult::ok(R"({"items":[]})", 200));
  auto seen = transport->seen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "GET");
  EXPECT_EQ(seen[0].url, "http://127.0.0.1:4321/assets?limit=5&query=%E7%8C%AB%20%26%20%E7%8B%97");
  EXPECT_EQ(seen[0].headers, std::vector<std::string>{"Authorization: Bearer secret"});
  EXPECT_FALSE(seen[0].body);
}

TEST_F(ScriptedClientTest, PostSendsCompactBodyWithContentType) {
  auto transport = script({reply(200, "")});
  BridgeClient client(transport);
  EXPECT_EQ(client.post("/assets/abc/notes", {{"text", "笔记"}, {"n", 1}}),
            ToolResult::ok("", 200));
  auto seen = transport->seen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].url, "http://127.0.0.1:4321/assets/abc/notes");
  EXPECT_EQ(seen[0].headers, (std::vector<std::string>{"Authorization: Bearer secret",
                                                       "Content-Type: application/json"}));
  EXPECT_EQ(seen[0].body, R"({"n":1,"text":"笔记"})");
}

TEST_F(ScriptedClientTest, UnwritableBodyGoesOutEmptyHeaderStays) {
  auto transport = script({reply(200, "{}")});
  BridgeClient client(transport);
  EXPECT_FALSE(client.post("/telemetry", {{"bad", "\xFF"}}).isError);
  auto seen = transport->seen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_FALSE(seen[0].body);
  EXPECT_EQ(seen[0].headers.back(), "Content-Type: application/json");
}

TEST_F(ScriptedClientTest, EmptyTokenStillSendsTheBearerPrefix) {
  dir_.writeToken(4321, "");
  auto transport = script({reply(200, "{}")});
  BridgeClient(transport).get("/events", {});
  EXPECT_EQ(transport->seen().at(0).headers.at(0), "Authorization: Bearer ");
}

TEST_F(ScriptedClientTest, OutcomesOfOneAttempt) {
  struct Case {
    int status;
    std::string body;
    ToolResult expected;
  };
  for (const auto& c : std::vector<Case>{
           {200, "\xFF\xFE", ToolResult::ok("{}", 200)},
           {200, "", ToolResult::ok("", 200)},
           {204, "", ToolResult::fail("Bridge 返回 204：", 204)},
           {201, R"({"id":1})", ToolResult::fail(R"(Bridge 返回 201：{"id":1})", 201)},
           {409, "\xC0\xAF", ToolResult::fail("Bridge 返回 409：{}", 409)},
           {413, "太大", ToolResult::fail("Bridge 返回 413：太大", 413)},
       }) {
    auto transport = script({reply(c.status, c.body)});
    EXPECT_EQ(BridgeClient(transport).get("/x", {}), c.expected) << c.status;
    EXPECT_EQ(transport->seen().size(), 1u) << "no retry after " << c.status;
  }
}

TEST_F(ScriptedClientTest, TransportFailureTwiceNamesTheSecondDescription) {
  auto transport = script({refuse("first"), refuse("second")});
  EXPECT_EQ(BridgeClient(transport).get("/x", {}),
            ToolResult::fail(kConnectPrefix + "second" + kConnectSuffix, 0));
  EXPECT_EQ(transport->seen().size(), 2u);
}

TEST_F(ScriptedClientTest, RetryReadsTheFileAgainAndSendsTheSameRequest) {
  auto transport = script({[this](const HttpRequest&) {
                             dir_.writeToken(5555, "fresh");
                             return HttpOutcome(TransportFailure{"refused"});
                           },
                           reply(200, "ok")});
  EXPECT_EQ(BridgeClient(transport).post("/ai/settle", nlohmann::json::object()),
            ToolResult::ok("ok", 200));
  auto seen = transport->seen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].url, "http://127.0.0.1:5555/ai/settle");
  EXPECT_EQ(seen[1].headers.at(0), "Authorization: Bearer fresh");
  EXPECT_EQ(seen[1].body, seen[0].body);
  EXPECT_EQ(seen[1].body, "{}");
}

TEST_F(ScriptedClientTest, SecondAttemptResultComesBackAsItCame) {
  auto twice401 = script({reply(401, "a"), reply(401, "b")});
  EXPECT_EQ(BridgeClient(twice401).get("/x", {}), ToolResult::fail("Bridge 返回 401：b", 401));
  auto thenRefused = script({reply(401, "a"), refuse("gone")});
  EXPECT_EQ(BridgeClient(thenRefused).get("/x", {}),
            ToolResult::fail(kConnectPrefix + "gone" + kConnectSuffix, 0));
  auto thenNotFound = script({refuse("gone"), reply(404, "nope")});
  EXPECT_EQ(BridgeClient(thenNotFound).get("/x", {}),
            ToolResult::fail("Bridge 返回 404：nope", 404));
}

TEST_F(ScriptedClientTest, NoCredentialsBeforeEitherAttempt) {
  auto transport = script({});
  dir_.removeFile("bridge.token");
  EXPECT_EQ(BridgeClient(transport).get("/x", {}), ToolResult::fail(kNotRunning, 0));
  EXPECT_TRUE(transport->seen().empty());

  dir_.writeToken(4321, "secret");
  auto vanishing = script({[this](const HttpRequest&) {
    dir_.removeFile("bridge.token");
    return HttpOutcome(HttpReply{401, ""});
  }});
  EXPECT_EQ(BridgeClient(vanishing).get("/x", {}), ToolResult::fail(kNotRunning, 0));
  EXPECT_EQ(vanishing->seen().size(), 1u);
}

// The same client against a real HTTP server through libcurl.
class LiveClientTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir_.applyToThisProcess();
    dir_.writeToken(bridge_.port(), "tok");
  }
  SupportDir dir_;
  FakeBridge bridge_;
  BridgeClient client_;
};

TEST_F(LiveClientTest, GetCarriesTokenNoBodyNoContentType) {
  bridge_.on("GET", "/assets/abc", Reply{.body = R"({"shortID":"abc"})"});
  EXPECT_EQ(client_.get("/assets/abc", {}), ToolResult::ok(R"({"shortID":"abc"})", 200));
  auto seen = bridge_.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "GET");
  EXPECT_EQ(seen[0].target, "/assets/abc");
  EXPECT_FALSE(seen[0].hasQuery);
  EXPECT_EQ(seen[0].header("Authorization"), "Bearer tok");
  EXPECT_FALSE(seen[0].header("Content-Type"));
  EXPECT_FALSE(seen[0].header("Expect"));
  EXPECT_EQ(seen[0].body, "");
}

TEST_F(LiveClientTest, PostEmptyObject) {
  EXPECT_EQ(client_.post("/ai/settle", nlohmann::json::object()), ToolResult::ok("{}", 200));
  auto seen = bridge_.requestsTo("/ai/settle");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].body, "{}");
  EXPECT_EQ(seen[0].header("Content-Type"), "application/json");
  EXPECT_EQ(seen[0].headerCount("Content-Type"), 1u);
}

TEST_F(LiveClientTest, PathAndQueryArriveAsEncoded) {
  client_.get("/assets/a b?c", {{"times", "1+2"}, {"q", "a&b=c"}, {"tag", ""}});
  auto seen = bridge_.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].path, "/assets/a%20b%3Fc");
  EXPECT_EQ(seen[0].decodedPath, "/assets/a b?c");
  EXPECT_EQ(seen[0].query, "q=a%26b%3Dc&tag=&times=1%2B2");
}

TEST_F(LiveClientTest, StatusesAndBodiesEndToEnd) {
  bridge_.on("GET", "/a", Reply{.status = 204, .body = ""});
  bridge_.on("GET", "/b", Reply{.body = "\xFF\x00\xFE"});
  bridge_.on("GET", "/c", Reply{.body = ""});
  bridge_.on("GET", "/d", Reply{.status = 404, .body = R"({"error":"无"})"});
  EXPECT_EQ(client_.get("/a", {}), ToolResult::fail("Bridge 返回 204：", 204));
  EXPECT_EQ(client_.get("/b", {}), ToolResult::ok("{}", 200));
  EXPECT_EQ(client_.get("/c", {}), ToolResult::ok("", 200));
  EXPECT_EQ(client_.get("/d", {}), ToolResult::fail(R"(Bridge 返回 404：{"error":"无"})", 404));
  EXPECT_EQ(bridge_.requestsTo("/d").size(), 1u);
}

TEST_F(LiveClientTest, StaleTokenRetriedWithTheRewrittenFile) {
  bridge_.on("GET", "/events",
             std::vector<Reply>{
                 {.status = 401,
                  .body = "stale",
                  .before = [this](const auto&) { dir_.writeToken(bridge_.port(), "new"); }},
                 {.body = R"({"events":[]})"}});
  EXPECT_EQ(client_.get("/events", {{"since", "0"}}), ToolResult::ok(R"({"events":[]})", 200));
  auto seen = bridge_.requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].header("Authorization"), "Bearer tok");
  EXPECT_EQ(seen[1].header("Authorization"), "Bearer new");
  EXPECT_EQ(seen[1].target, "/events?since=0");
}

TEST_F(LiveClientTest, StaleTokenAndFileGoneBeforeRetry) {
  bridge_.on("GET", "/events", Reply{.status = 401, .before = [this](const auto&) {
                                       dir_.removeFile("bridge.token");
                                     }});
  EXPECT_EQ(client_.get("/events", {}), ToolResult::fail(kNotRunning, 0));
  EXPECT_EQ(bridge_.requests().size(), 1u);
}

TEST_F(LiveClientTest, UnauthorizedTwice) {
  bridge_.on("GET", "/x", FakeBridge::unauthorizedFirst(5));
  EXPECT_EQ(client_.get("/x", {}),
            ToolResult::fail(R"(Bridge 返回 401：{"error":"unauthorized"})", 401));
  EXPECT_EQ(bridge_.requests().size(), 2u);
}

TEST_F(LiveClientTest, DroppedConnectionIsRetriedOnce) {
  bridge_.on("GET", "/x", std::vector<Reply>{{.drop = true}, {.body = "second"}});
  EXPECT_EQ(client_.get("/x", {}), ToolResult::ok("second", 200));
  EXPECT_EQ(bridge_.requests().size(), 2u);
}

TEST_F(LiveClientTest, HostAppQuitLeavingTheFileBehind) {
  bridge_.stop();
  auto result = client_.get("/assets", {});
  EXPECT_TRUE(result.isError);
  EXPECT_EQ(result.status, 0);
  ASSERT_GT(result.text.size(), kConnectPrefix.size() + kConnectSuffix.size());
  EXPECT_EQ(result.text.substr(0, kConnectPrefix.size()), kConnectPrefix);
  EXPECT_EQ(result.text.substr(result.text.size() - kConnectSuffix.size()), kConnectSuffix);
}

TEST_F(LiveClientTest, HostAppRestartedOnAnotherPortBetweenCalls) {
  EXPECT_FALSE(client_.get("/x", {}).isError);
  FakeBridge restarted;
  dir_.writeToken(restarted.port(), "tok2");
  EXPECT_EQ(client_.get("/x", {}), ToolResult::ok("{}", 200));
  EXPECT_EQ(restarted.requests().size(), 1u);
  EXPECT_EQ(bridge_.requests().size(), 1u);
}

TEST_F(LiveClientTest, TokenFileInjectingHeadersIsNotUsed) {
  dir_.writeFile("bridge.token", R"({"port":1,"token":"x\r\nX-Evil: yes"})", true);
  dir_.writeToken(bridge_.port(), "safe", /*inBundle=*/false);
  EXPECT_FALSE(client_.get("/x", {}).isError);
  auto seen = bridge_.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].header("Authorization"), "Bearer safe");
  EXPECT_FALSE(seen[0].header("X-Evil"));
}

} // namespace
} // namespace vantrel::bridge
