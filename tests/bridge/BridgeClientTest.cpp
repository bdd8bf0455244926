// Labels: concurrency
#include "bridge/BridgeClient.h"

#include "bridge/AsioTransport.h"
#include "bridge/HttpTransport.h"
#include "bridge/ScriptedPeer.h"
#include "common/ReplyLimit.h"
#include "support/FakeBridge.h"
#include "support/InProcess.h"
#include "support/SupportDir.h"

#include <gtest/gtest.h>

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <deque>
#include <functional>
#include <mutex>

namespace vantrel::bridge {
namespace {

using vantrel::testing::FakeBridge;
using vantrel::testing::Reply;
using vantrel::testing::ScriptedTransport;
using vantrel::testing::SupportDir;
using namespace std::chrono_literals;

const std::string kNotRunning =
    "砚舟未运行：请先启动砚舟 app（Bridge 未就绪，未找到 bridge.token）。";
const std::string kConnectPrefix = "连接 Bridge 失败：";
const std::string kConnectSuffix = "。若砚舟刚重启过，请重试一次；仍失败请确认砚舟 app 正在运行。";

using vantrel::testing::ScriptedOutcome;
using vantrel::testing::ScriptedReply;
using Step = std::function<ScriptedOutcome(const HttpRequest&)>;

Step reply(int status, std::string body) {
  return [=](const HttpRequest&) { return ScriptedOutcome(ScriptedReply{status, body}); };
}
Step refuse(std::string description) {
  return [=](const HttpRequest&) { return ScriptedOutcome(TransportFailure{description}); };
}

// One logical request, run to its end on this thread, on the shared loop: the live tests'
// transports keep connections.
ToolResult get(const BridgeClient& client, std::string path, Query query = {}) {
  return vantrel::testing::sharedTestLoop().run(
      client.request(BridgeCall::get(std::move(path), std::move(query))));
}
ToolResult post(const BridgeClient& client, std::string path, const nlohmann::json& body) {
  return vantrel::testing::sharedTestLoop().run(
      client.request(BridgeCall::post(std::move(path), body)));
}

std::string urlOf(const HttpRequest& request) {
  return "http://127.0.0.1:" + std::to_string(request.port) + request.target;
}

class ScriptedClientTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir_.applyToThisProcess();
    dir_.writeToken(4321, "secret");
  }
  // Answers the n-th exchange with steps[n]; once they run out, with a transport failure.
  std::shared_ptr<ScriptedTransport> script(std::deque<Step> steps) {
    auto remaining = std::make_shared<std::deque<Step>>(std::move(steps));
    return std::make_shared<ScriptedTransport>([remaining](const HttpRequest& request) {
      if (remaining->empty())
        return ScriptedOutcome(TransportFailure{"script ran out"});
      Step step = std::move(remaining->front());
      remaining->pop_front();
      return step(request);
    });
  }
  SupportDir dir_;
};

TEST_F(ScriptedClientTest, GetFormsUrlAndOnlyTheAuthorizationHeader) {
  auto transport = script({reply(200, R"({"items":[]})")});
  BridgeClient client(transport);
  EXPECT_EQ(get(client, "/assets/a b?c", {{"query", "猫 & 狗"}, {"limit", "5"}}),
            ToolResult::ok(R"({"items":[]})", 200));
  auto seen = transport->requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "GET");
  EXPECT_EQ(urlOf(seen[0]),
            "http://127.0.0.1:4321/assets/a%20b%3Fc?limit=5&query=%E7%8C%AB%20%26%20%E7%8B%97");
  EXPECT_EQ(seen[0].headers, std::vector<std::string>{"Authorization: Bearer secret"});
  EXPECT_FALSE(seen[0].body);
}

TEST_F(ScriptedClientTest, PostSendsCompactBodyWithContentType) {
  auto transport = script({reply(200, "")});
  BridgeClient client(transport);
  EXPECT_EQ(post(client, "/assets/abc/notes", {{"text", "笔记"}, {"n", 1}}),
            ToolResult::ok("", 200));
  auto seen = transport->requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(urlOf(seen[0]), "http://127.0.0.1:4321/assets/abc/notes");
  EXPECT_EQ(seen[0].headers, (std::vector<std::string>{"Authorization: Bearer secret",
                                                       "Content-Type: application/json"}));
  EXPECT_EQ(seen[0].body, R"({"n":1,"text":"笔记"})");
}

TEST_F(ScriptedClientTest, UnwritableBodyGoesOutEmptyHeaderStays) {
  auto transport = script({reply(200, "{}")});
  BridgeClient client(transport);
  EXPECT_FALSE(post(client, "/telemetry", {{"bad", "\xFF"}}).isError);
  auto seen = transport->requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].body, "");
  EXPECT_EQ(seen[0].headers.back(), "Content-Type: application/json");
}

TEST_F(ScriptedClientTest, EmptyTokenStillSendsTheBearerPrefix) {
  dir_.writeToken(4321, "");
  auto transport = script({reply(200, "{}")});
  get(BridgeClient(transport), "/events");
  EXPECT_EQ(transport->requests().at(0).headers.at(0), "Authorization: Bearer ");
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
           // Text that is not JSON passes as it came.
           {200, "<html>砚舟\r\n\x01</html>", ToolResult::ok("<html>砚舟\r\n\x01</html>", 200)},
       }) {
    auto transport = script({reply(c.status, c.body)});
    EXPECT_EQ(get(BridgeClient(transport), "/x"), c.expected) << c.status;
    EXPECT_EQ(transport->requests().size(), 1u) << "no retry after " << c.status;
  }
}

TEST_F(ScriptedClientTest, TransportFailureTwiceNamesTheSecondDescription) {
  auto transport = script({refuse("first"), refuse("second")});
  EXPECT_EQ(get(BridgeClient(transport), "/x"),
            ToolResult::fail(kConnectPrefix + "second" + kConnectSuffix, 0));
  EXPECT_EQ(transport->requests().size(), 2u);
}

TEST_F(ScriptedClientTest, RetryReadsTheFileAgainAndSendsTheSameRequest) {
  auto transport = script({[this](const HttpRequest&) {
                             dir_.writeToken(5555, "fresh");
                             return ScriptedOutcome(TransportFailure{"refused"});
                           },
                           reply(200, "ok")});
  EXPECT_EQ(post(BridgeClient(transport), "/ai/settle", nlohmann::json::object()),
            ToolResult::ok("ok", 200));
  auto seen = transport->requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(urlOf(seen[1]), "http://127.0.0.1:5555/ai/settle");
  EXPECT_EQ(seen[1].headers.at(0), "Authorization: Bearer fresh");
  EXPECT_EQ(seen[1].body, seen[0].body);
  EXPECT_EQ(seen[1].body, "{}");
}

TEST_F(ScriptedClientTest, SecondAttemptResultComesBackAsItCame) {
  auto twice401 = script({reply(401, "a"), reply(401, "b")});
  EXPECT_EQ(get(BridgeClient(twice401), "/x"), ToolResult::fail("Bridge 返回 401：b", 401));
  auto thenRefused = script({reply(401, "a"), refuse("gone")});
  EXPECT_EQ(get(BridgeClient(thenRefused), "/x"),
            ToolResult::fail(kConnectPrefix + "gone" + kConnectSuffix, 0));
  auto thenNotFound = script({refuse("gone"), reply(404, "nope")});
  EXPECT_EQ(get(BridgeClient(thenNotFound), "/x"), ToolResult::fail("Bridge 返回 404：nope", 404));
}

TEST_F(ScriptedClientTest, NoCredentialsBeforeEitherAttempt) {
  auto transport = script({});
  dir_.removeFile("bridge.token");
  EXPECT_EQ(get(BridgeClient(transport), "/x"), ToolResult::fail(kNotRunning, 0));
  EXPECT_TRUE(transport->requests().empty());

  dir_.writeToken(4321, "secret");
  auto vanishing = script({[this](const HttpRequest&) {
    dir_.removeFile("bridge.token");
    return ScriptedOutcome(ScriptedReply{401, ""});
  }});
  EXPECT_EQ(get(BridgeClient(vanishing), "/x"), ToolResult::fail(kNotRunning, 0));
  EXPECT_EQ(vanishing->requests().size(), 1u);
}

// The same client against a real HTTP server through the real transport.
class LiveClientTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir_.applyToThisProcess();
    dir_.writeToken(bridge_.port(), "tok");
  }
  SupportDir dir_;
  FakeBridge bridge_;
  // Replies are kept as the server keeps them, limited to what a response line may carry.
  BridgeClient client_{std::make_shared<AsioTransport>(), readCredentials,
                       [] { return JsonText::withLimit(kMaxResponseLine); }};
};

// The transport adds nothing the client did not ask for: no body or Content-Type on a GET, one
// Content-Type on a POST, never an Expect.
TEST_F(LiveClientTest, RequestsCarryOnlyWhatTheClientSet) {
  bridge_.on("GET", "/assets/abc", Reply{.body = R"({"shortID":"abc"})"});
  EXPECT_EQ(get(client_, "/assets/abc"), ToolResult::ok(R"({"shortID":"abc"})", 200));
  EXPECT_EQ(post(client_, "/ai/settle", nlohmann::json::object()), ToolResult::ok("{}", 200));
  auto seen = bridge_.requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].target, "/assets/abc");
  EXPECT_FALSE(seen[0].hasQuery);
  EXPECT_FALSE(seen[0].header("Content-Type"));
  EXPECT_EQ(seen[0].body, "");
  EXPECT_EQ(seen[1].method, "POST");
  EXPECT_EQ(seen[1].body, "{}");
  EXPECT_EQ(seen[1].header("Content-Type"), "application/json");
  EXPECT_EQ(seen[1].headerCount("Content-Type"), 1u);
  for (const auto& request : seen) {
    EXPECT_EQ(request.header("Authorization"), "Bearer tok");
    EXPECT_FALSE(request.header("Expect"));
  }
}

// An import or a note must never be written three times: the transport does not resend a POST
// the Bridge read and closed on, so only the client's one retry sends it again.
TEST_F(LiveClientTest, PostReadThenClosedOnReachesTheBridgeExactlyTwice) {
  bridge_.on("POST", "/assets/import-link", Reply{.drop = true});
  // Kept connections first, so the request goes out on a reused one as it would in a session.
  EXPECT_FALSE(get(client_, "/warm").isError);
  auto result = post(client_, "/assets/import-link", {{"url", "https://v.example/1"}});
  EXPECT_TRUE(result.isError);
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(result.text.plain().starts_with(kConnectPrefix)) << result.text;
  EXPECT_EQ(bridge_.requestsTo("/assets/import-link").size(), 2u);
}

// A Bridge that closes kept connections shortly after each reply makes a first attempt fail on a
// connection that was closing; the pool may hold more like it, so the retry never uses one.
TEST_F(LiveClientTest, RetryOpensANewConnectionEvenWithKeptOnesAtHand) {
  using namespace boost::asio::experimental::awaitable_operators;
  bridge_.on("GET", "/hold", Reply{.delay = 100ms});
  // Two calls at once leave two kept connections behind.
  vantrel::testing::sharedTestLoop().run([this]() -> boost::asio::awaitable<void> {
    co_await (client_.request(BridgeCall::get("/hold")) &&
              client_.request(BridgeCall::get("/hold")));
  }());
  bridge_.on("GET", "/x", std::vector<Reply>{Reply{.drop = true}, Reply{.body = "fresh"}});
  EXPECT_EQ(get(client_, "/x"), ToolResult::ok("fresh", 200));
  auto kept = bridge_.requestsTo("/hold");
  auto tries = bridge_.requestsTo("/x");
  ASSERT_EQ(kept.size(), 2u);
  ASSERT_EQ(tries.size(), 2u);
  EXPECT_TRUE(tries[0].connection == kept[0].connection ||
              tries[0].connection == kept[1].connection)
      << "the first attempt reuses a kept connection";
  EXPECT_NE(tries[1].connection, kept[0].connection);
  EXPECT_NE(tries[1].connection, kept[1].connection);
}

// A host app restarted on the same port with a new token, while its old instance still served
// kept connections, answered 401 to every call: both attempts went out on old connections.
TEST_F(LiveClientTest, NewTokenOnTheSamePortNeverUsesTheOldTokensConnections) {
  EXPECT_FALSE(get(client_, "/x").isError);
  dir_.writeToken(bridge_.port(), "tok2");
  EXPECT_FALSE(get(client_, "/x").isError);
  auto seen = bridge_.requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].header("Authorization"), "Bearer tok2");
  EXPECT_NE(seen[1].connection, seen[0].connection);
}

// A Bridge that refuses a large body from its head: it answers 413 without reading the body and
// closes, which resets our upload. Its answer was there to read; it is the outcome, sent once.
TEST_F(LiveClientTest, EarlyRefusalOfALargeBodyIsTheBridgesAnswer) {
  using Peer = vantrel::testing::ScriptedPeer;
  Peer refusing({Peer::readHead(),
                 Peer::send("HTTP/1.1 413 Payload Too Large\r\nConnection: close\r\n"
                            "Content-Length: 8\r\n\r\ntoo big!"),
                 Peer::close()});
  dir_.writeToken(refusing.port(), "tok");
  const std::string big(19 << 20, 'a');
  EXPECT_EQ(post(client_, "/assets/import-file", {{"path", big}}),
            ToolResult::fail("Bridge 返回 413：too big!", 413));
  EXPECT_EQ(refusing.finish().connections, 1) << "answered, so not sent again";
}

// A reply no agent can use is refused from its head: not read, not kept, not asked for again.
TEST_F(LiveClientTest, ReplyPastTheCapFailsAtOnceNamingItsSizeAndTheCap) {
  bridge_.on("GET", "/assets",
             Reply{.raw = "HTTP/1.1 200 OK\r\nContent-Length: 314572800\r\n\r\n{\"items\":["});
  auto started = std::chrono::steady_clock::now();
  auto result = get(client_, "/assets", {{"limit", "1000000"}});
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  const std::string text = result.text.plain();
  EXPECT_TRUE(result.isError);
  EXPECT_EQ(result.status, 200) << "the report carries the status the Bridge answered";
  EXPECT_NE(text.find("314572800"), std::string::npos) << text;
  EXPECT_NE(text.find(std::to_string(kMaxResponseLine)), std::string::npos) << text;
  EXPECT_NE(text.find("limit"), std::string::npos) << text;
  EXPECT_EQ(bridge_.requestsTo("/assets").size(), 1u);
}

TEST_F(LiveClientTest, OverlongRequestFailsLocallyOnceWithoutRetryAndNamesItsSize) {
  auto result = get(client_, "/assets/" + std::string(2 << 20, 'a'));
  EXPECT_TRUE(result.isError);
  EXPECT_EQ(result.status, 0);
  const std::string text = result.text.plain();
  EXPECT_TRUE(text.starts_with("请求过长：")) << text.substr(0, 300);
  // The size: the 2 MiB path and a little more.
  const auto digits = text.find_first_of("0123456789");
  ASSERT_NE(digits, std::string::npos) << text;
  const auto size = std::stoull(text.substr(digits));
  EXPECT_GT(size, 2u << 20);
  EXPECT_LT(size, (2u << 20) + 1024);
  EXPECT_TRUE(bridge_.requests().empty());
}

TEST_F(LiveClientTest, HostAppRestartedOnAnotherPortBetweenCalls) {
  EXPECT_FALSE(get(client_, "/x").isError);
  FakeBridge restarted;
  dir_.writeToken(restarted.port(), "tok2");
  EXPECT_EQ(get(client_, "/x"), ToolResult::ok("{}", 200));
  EXPECT_EQ(restarted.requests().size(), 1u);
  EXPECT_EQ(bridge_.requests().size(), 1u);
}

} // namespace
} // namespace vantrel::bridge
