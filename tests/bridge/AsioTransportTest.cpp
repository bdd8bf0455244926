// Labels: concurrency
#include "bridge/AsioTransport.h"

#include "driver/Descriptors.h"
#include "support/FakeBridge.h"
#include "support/InProcess.h"
#include "support/ScopedEnv.h"

#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/strand.hpp>
#include <thread>

namespace vantrel::bridge {
namespace {

using vantrel::driver::unusedPort;
using vantrel::testing::FakeBridge;
using vantrel::testing::Framing;
using vantrel::testing::Reply;
using namespace std::chrono_literals;

HttpRequest request(std::string method, int port, std::string target,
                    std::vector<std::string> headers = {},
                    std::optional<std::string> body = std::nullopt) {
  HttpRequest request;
  request.method = std::move(method);
  request.port = port;
  request.target = std::move(target);
  request.headers = std::move(headers);
  request.body = std::move(body);
  request.replyBody = std::make_shared<vantrel::testing::PlainSink>();
  return request;
}

HttpRequest get(const FakeBridge& bridge, const std::string& path) {
  return request("GET", bridge.port(), path, {"Authorization: Bearer t"});
}

// What one exchange came to, and the body its sink received.
struct Exchanged {
  HttpOutcome outcome;
  std::string body;
};

// One exchange run to its end, on the shared loop: transports keep their connections.
Exchanged perform(AsioTransport& transport, HttpRequest request) {
  auto sink = std::static_pointer_cast<vantrel::testing::PlainSink>(request.replyBody);
  auto outcome = vantrel::testing::sharedTestLoop().run(transport.exchange(std::move(request)));
  return {std::move(outcome), sink->bytes()};
}

struct Got {
  int status = 0;
  std::string body;
};

Got replyOf(const Exchanged& exchanged) {
  if (const auto* failure = std::get_if<TransportFailure>(&exchanged.outcome))
    ADD_FAILURE() << "transport failure: " << failure->description;
  const auto* reply = std::get_if<HttpReply>(&exchanged.outcome);
  return reply ? Got{reply->status, exchanged.body} : Got{};
}

TEST(AsioTransportTest, NothingListeningIsATransportFailureWithADescription) {
  AsioTransport transport;
  int port = unusedPort();
  auto outcome = perform(transport, request("GET", port, "/x")).outcome;
  auto* failure = std::get_if<TransportFailure>(&outcome);
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->description,
            "connect 127.0.0.1:" + std::to_string(port) + ": Connection refused");
}

TEST(AsioTransportTest, ProxyVariablesAreIgnored) {
  const std::string proxy = "http://127.0.0.1:" + std::to_string(unusedPort());
  vantrel::testing::ScopedEnv env({{"http_proxy", proxy},
                                   {"HTTP_PROXY", proxy},
                                   {"ALL_PROXY", proxy},
                                   {"all_proxy", proxy},
                                   {"no_proxy", ""},
                                   {"NO_PROXY", ""}});
  FakeBridge bridge;
  bridge.on("GET", "/x", Reply{.body = "direct"});
  AsioTransport transport;
  EXPECT_EQ(replyOf(perform(transport, get(bridge, "/x"))).body, "direct");
}

TEST(AsioTransportTest, DotSegmentsAreSentAsIs) {
  FakeBridge bridge;
  AsioTransport transport;
  perform(transport, get(bridge, "/assets/../telemetry/./x"));
  ASSERT_EQ(bridge.requests().size(), 1u);
  EXPECT_EQ(bridge.requests()[0].target, "/assets/../telemetry/./x");
}

TEST(AsioTransportTest, SilentReplyRunsIntoTheIdleTimeout) {
  FakeBridge bridge;
  bridge.on("GET", "/silent", Reply{.delay = 20s});
  AsioTransport transport(std::chrono::seconds(1));
  auto started = std::chrono::steady_clock::now();
  auto outcome = perform(transport, get(bridge, "/silent")).outcome;
  ASSERT_TRUE(std::holds_alternative<TransportFailure>(outcome));
  EXPECT_EQ(std::get<TransportFailure>(outcome).description,
            "read 127.0.0.1:" + std::to_string(bridge.port()) +
                ": timed out, no data moved for 1 s");
  EXPECT_LT(std::chrono::steady_clock::now() - started, 15s);
}

TEST(AsioTransportTest, OnlySilenceCountsEveryByteInTheHeadChunkLinesAndBody) {
  // Each reply drips for well over the 1 s limit, never silent for more than 400 ms: a body in
  // eight pieces; and a head and a long chunk-size line that each span several of ten pieces, so
  // a watch that waits for a whole head or line cuts the reply.
  const std::string chunked =
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nX-Pad: " + std::string(40, 'p') +
      "\r\nTransfer-Encoding: chunked\r\n\r\n5;padding=" + std::string(60, 'e') +
      "\r\nhello\r\n0\r\n\r\n";
  FakeBridge bridge;
  bridge.on("GET", "/body", Reply{.body = "abcdefgh", .tricklePieces = 8, .trickleGap = 400ms});
  bridge.on("GET", "/head", Reply{.tricklePieces = 10, .trickleGap = 300ms, .raw = chunked});
  AsioTransport transport(std::chrono::seconds(1));
  for (auto [path, body] : {std::pair{"/body", "abcdefgh"}, std::pair{"/head", "hello"}}) {
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(replyOf(perform(transport, get(bridge, path))).body, body) << path;
    EXPECT_GE(std::chrono::steady_clock::now() - started, 2s) << path << ": the drip spanned it";
  }
}

TEST(AsioTransportTest, LargePostGoesOutWholeWithoutWaitingForContinue) {
  FakeBridge bridge;
  AsioTransport transport;
  std::string body = "\"" + std::string(3 << 20, 'a') + "\"";
  auto outcome = perform(transport, request("POST", bridge.port(), "/import",
                                            {"Content-Type: application/json"}, body));
  EXPECT_EQ(replyOf(outcome).status, 200);
  auto seen = bridge.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].body, body);
  EXPECT_FALSE(seen[0].header("Expect"));
}

TEST(AsioTransportTest, PostWithoutBodySendsZeroLength) {
  FakeBridge bridge;
  AsioTransport transport;
  EXPECT_EQ(replyOf(perform(transport, request("POST", bridge.port(), "/telemetry",
                                               {"Content-Type: application/json"})))
                .status,
            200);
  auto seen = bridge.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].body, "");
  EXPECT_EQ(seen[0].header("Content-Length"), "0");
}

TEST(AsioTransportTest, RepliesAreReadByLengthChunksOrClose) {
  FakeBridge bridge;
  const std::string body = R"({"text":")" + std::string(10000, 'x') + R"("})";
  bridge.on("GET", "/length", Reply{.body = body});
  bridge.on(
      "GET", "/chunked",
      Reply{.body = body, .tricklePieces = 5, .trickleGap = 5ms, .framing = Framing::Chunked});
  bridge.on("GET", "/closed", Reply{.body = body, .framing = Framing::CloseDelimited});
  bridge.on("GET", "/empty", Reply{.status = 204, .body = ""});
  AsioTransport transport;
  for (const char* path : {"/length", "/chunked", "/closed", "/length"})
    EXPECT_EQ(replyOf(perform(transport, get(bridge, path))).body, body) << path;
  EXPECT_EQ(replyOf(perform(transport, get(bridge, "/empty"))).status, 204);
  // A close-delimited reply ends its connection; the next request needs a new one.
  auto seen = bridge.requests();
  ASSERT_EQ(seen.size(), 5u);
  EXPECT_EQ(seen[0].connection, seen[1].connection);
  EXPECT_EQ(seen[1].connection, seen[2].connection);
  EXPECT_NE(seen[2].connection, seen[3].connection);
}

TEST(AsioTransportTest, KeptConnectionTheBridgeClosedIsReplacedWithoutAFailure) {
  FakeBridge bridge;
  AsioTransport transport;
  EXPECT_EQ(replyOf(perform(transport, get(bridge, "/one"))).status, 200);
  ASSERT_EQ(transport.idleConnections(), 1u);
  bridge.closeIdleConnections(); // as a Bridge does after its keep-alive time
  EXPECT_EQ(replyOf(perform(transport, get(bridge, "/two"))).status, 200);
  auto seen = bridge.requests();
  ASSERT_EQ(seen.size(), 2u) << "the request went out once, on a fresh connection";
  EXPECT_NE(seen[0].connection, seen[1].connection);
}

TEST(AsioTransportTest, NoReplyOrABrokenOneIsATransportFailure) {
  FakeBridge bridge;
  bridge.on("GET", "/drop", Reply{.drop = true});
  bridge.on("GET", "/garbage", Reply{.raw = "NOT HTTP AT ALL\r\n\r\n", .closeAfter = true});
  bridge.on("GET", "/huge-head",
            Reply{.raw = "HTTP/1.1 200 OK\r\nX-Pad: " + std::string(2 << 20, 'a') + "\r\n\r\n",
                  .closeAfter = true});
  bridge.on(
      "GET", "/cut",
      Reply{.raw = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nshort", .resetAfter = true});
  AsioTransport transport;
  for (const char* path : {"/drop", "/garbage", "/huge-head", "/cut"}) {
    auto outcome = perform(transport, get(bridge, path)).outcome;
    ASSERT_TRUE(std::holds_alternative<TransportFailure>(outcome)) << path;
    EXPECT_EQ(std::get<TransportFailure>(outcome).description.rfind("read 127.0.0.1:", 0), 0u)
        << std::get<TransportFailure>(outcome).description;
  }
  // The transport is still fine afterwards.
  EXPECT_EQ(replyOf(perform(transport, get(bridge, "/ok"))).status, 200);
}

// An interim reply taken for the final one left the real reply on the kept connection, and every
// later request on it read the one before's reply.
TEST(AsioTransportTest, InterimRepliesAreSkippedNotLeftForTheNextRequest) {
  FakeBridge bridge;
  bridge.on("GET", "/working",
            Reply{.raw = "HTTP/1.1 102 Processing\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </a>"
                         "\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nfirst"});
  bridge.on("GET", "/next", Reply{.body = "second"});
  AsioTransport transport;
  EXPECT_EQ(replyOf(perform(transport, get(bridge, "/working"))).body, "first");
  EXPECT_EQ(replyOf(perform(transport, get(bridge, "/next"))).body, "second");
  auto seen = bridge.requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].connection, seen[1].connection);
}

TEST(AsioTransportTest, SwitchingProtocolsFailsAndItsConnectionIsDropped) {
  FakeBridge bridge;
  bridge.on("GET", "/upgrade",
            Reply{.raw = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\n"});
  AsioTransport transport;
  auto outcome = perform(transport, get(bridge, "/upgrade")).outcome;
  ASSERT_TRUE(std::holds_alternative<TransportFailure>(outcome));
  EXPECT_EQ(std::get<TransportFailure>(outcome).description,
            "read 127.0.0.1:" + std::to_string(bridge.port()) + ": switching protocols");
  EXPECT_EQ(replyOf(perform(transport, get(bridge, "/next"))).status, 200);
  auto seen = bridge.requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_NE(seen[0].connection, seen[1].connection);
}

TEST(AsioTransportTest, KeptConnectionsServeTheirGroupOnlyAndNeverARequestThatForbidsThem) {
  FakeBridge bridge;
  AsioTransport transport;
  auto in = [&](std::string group, bool reuse = true) {
    HttpRequest request = get(bridge, "/x");
    request.connectionGroup = std::move(group);
    request.reuseConnection = reuse;
    return replyOf(perform(transport, std::move(request))).status;
  };
  EXPECT_EQ(in("old token"), 200);
  EXPECT_EQ(in("new token"), 200); // a host app restarted on the same port
  EXPECT_EQ(in("old token", false), 200);
  EXPECT_EQ(in("old token"), 200);
  auto seen = bridge.requests();
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_NE(seen[1].connection, seen[0].connection);
  EXPECT_NE(seen[2].connection, seen[0].connection);
  EXPECT_NE(seen[2].connection, seen[1].connection);
  EXPECT_NE(seen[3].connection, seen[1].connection);
}

TEST(AsioTransportTest, HundredsOfConcurrentRequestsOnTwoThreads) {
  namespace asio = boost::asio;
  FakeBridge bridge;
  bridge.on("GET", "/slowish", Reply{.body = "ok", .delay = 50ms});
  // The context outlives the transport: kept connections belong to it.
  asio::io_context io;
  AsioTransport transport;
  constexpr int kCalls = 300;
  std::atomic<int> succeeded{0};
  for (int i = 0; i < kCalls; ++i) {
    asio::co_spawn(
        asio::make_strand(io),
        [&, i]() -> asio::awaitable<void> {
          auto outcome = co_await transport.exchange(get(bridge, i % 2 ? "/slowish" : "/fast"));
          const auto* reply = std::get_if<HttpReply>(&outcome);
          if (reply && reply->status == 200)
            ++succeeded;
        },
        asio::detached);
  }
  std::thread helper([&] { io.run(); });
  io.run();
  helper.join();
  EXPECT_EQ(succeeded.load(), kCalls);
  EXPECT_EQ(bridge.requests().size(), static_cast<std::size_t>(kCalls));
  // The burst leaves only a few connections behind for the next calls.
  EXPECT_LE(transport.idleConnections(), kMaxIdleConnections);
  EXPECT_GT(transport.idleConnections(), 0u);
}

// Runs `count` exchanges of `path` at once on `io` to their ends; how many got a 200.
std::size_t together(boost::asio::io_context& io, AsioTransport& transport,
                     const FakeBridge& bridge, std::size_t count, const std::string& path) {
  namespace asio = boost::asio;
  std::size_t succeeded = 0;
  for (std::size_t i = 0; i < count; ++i) {
    asio::co_spawn(
        io,
        [&]() -> asio::awaitable<void> {
          auto outcome = co_await transport.exchange(get(bridge, path));
          const auto* reply = std::get_if<HttpReply>(&outcome);
          if (reply && reply->status == 200)
            ++succeeded;
        },
        asio::detached);
  }
  io.restart();
  io.run();
  return succeeded;
}

// Exchanges that overlap keep their connections for the next ones, as a call and the usage
// report before it do, up to what a Bridge is taken to serve at once: beyond that, a kept one
// could hold the Bridge thread that another connection waits for.
TEST(AsioTransportTest, OverlappingExchangesKeepAsManyConnectionsAsABridgeServesAtOnce) {
  FakeBridge bridge;
  bridge.on("GET", "/held", Reply{.delay = 300ms}); // long enough for all of a row to overlap
  struct Row {
    std::size_t together, kept;
  };
  for (auto [count, kept] :
       {Row{2, 2}, Row{kBridgeConnections, kBridgeConnections}, Row{20, kBridgeConnections}}) {
    boost::asio::io_context io; // outlives the transport, whose connections belong to it
    AsioTransport transport;
    EXPECT_EQ(together(io, transport, bridge, count, "/held"), count);
    EXPECT_EQ(transport.idleConnections(), kept) << count << " at once";
  }
}

// A Bridge serving from as many threads as it is taken to: one context's idle connections hold
// them all, and another context's call, which cannot take those, would wait in the backlog for
// the keep-alive to run out, had its new connection not closed one of them first.
TEST(AsioTransportTest, ConnectionBeyondWhatTheBridgeServesClosesAnIdleOneOfAnotherContext) {
  FakeBridge bridge(
      {}, vantrel::testing::ServingLimit{.connections = kBridgeConnections, .keepAlive = 60s});
  bridge.on("GET", "/held", Reply{.delay = 300ms});
  boost::asio::io_context first, second; // outlive the transport
  AsioTransport transport(20s);
  ASSERT_EQ(together(first, transport, bridge, kBridgeConnections, "/held"), kBridgeConnections);
  ASSERT_EQ(transport.idleConnections(), kBridgeConnections) << "the Bridge's threads are held";
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(together(second, transport, bridge, 1, "/x"), 1u);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 15s);
  EXPECT_EQ(transport.idleConnections(), kBridgeConnections);
}

} // namespace
} // namespace vantrel::bridge
