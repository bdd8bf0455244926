// Labels: concurrency
#include "support/FakeBridge.h"

#include "driver/Descriptors.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <future>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace vantrel::testing {

using namespace vantrel::driver;
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A client on a bare socket, so what the fake sends is seen byte for byte.
class RawClient {
public:
  explicit RawClient(int port) : fd_(connectLoopback(port)) {}
  ~RawClient() { closeQuietly(fd_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return fd_ >= 0; }
  bool send(std::string_view bytes) { return sendAll(fd_, bytes); }

  // Reads until `done(received)` holds, the peer closes, or 10 s pass; returns what was received
  // and forgets it.
  template <typename Done> std::string receiveUntil(Done done) {
    fill(done);
    return std::exchange(received_, {});
  }
  // Everything up to the end of the connection.
  std::string receiveAll() {
    return receiveUntil([](const std::string&) { return false; });
  }
  // One whole response framed by Content-Length; what came after it is kept for the next.
  std::string receiveResponse() {
    auto whole = [](const std::string& bytes) -> std::size_t {
      auto headEnd = bytes.find("\r\n\r\n");
      if (headEnd == std::string::npos)
        return 0;
      auto length = bytes.find("Content-Length: ");
      std::size_t size = length < headEnd ? std::stoul(bytes.substr(length + 16, 20)) : 0;
      return bytes.size() >= headEnd + 4 + size ? headEnd + 4 + size : 0;
    };
    fill([&](const std::string& bytes) { return whole(bytes) > 0; });
    std::string response = received_.substr(0, whole(received_));
    received_.erase(0, response.size());
    return response;
  }
  bool ended() const { return ended_; }
  int error() const { return error_; } // errno when the connection ended in an error

private:
  template <typename Done> void fill(Done done) {
    auto deadline = Clock::now() + 10s;
    while (!done(received_) && !ended_ && Clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0)
        continue;
      char buffer[64 * 1024];
      ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n > 0) {
        received_.append(buffer, static_cast<std::size_t>(n));
      } else {
        ended_ = true;
        error_ = n < 0 ? errno : 0;
      }
    }
  }

  int fd_;
  std::string received_;
  bool ended_ = false;
  int error_ = 0;
};

std::string bodyOf(const std::string& response) {
  auto headEnd = response.find("\r\n\r\n");
  return headEnd == std::string::npos ? "" : response.substr(headEnd + 4);
}

TEST(FakeBridgeTest, RecordsRequestsExactlyAsSent) {
  FakeBridge bridge;
  RawClient client(bridge.port());
  ASSERT_TRUE(client.connected());
  client.send("GET /a%20b/./c?x=1&y=%2F HTTP/1.1\r\nHost: h\r\nX-Thing:  one \r\n"
              "x-thing: two\r\n\r\n"
              "POST /notes HTTP/1.1\r\nContent-Length: 6\r\n\r\n\xff{\"a\"}");
  std::string first = client.receiveResponse();
  EXPECT_EQ(first, "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\n"
                   "\r\n{}");
  client.receiveResponse();
  RawClient other(bridge.port());
  other.send("GET /x HTTP/1.1\r\n\r\n");
  other.receiveResponse();

  auto seen = bridge.requests();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].method, "GET");
  EXPECT_EQ(seen[0].target, "/a%20b/./c?x=1&y=%2F");
  EXPECT_EQ(seen[0].path, "/a%20b/./c");
  EXPECT_EQ(seen[0].decodedPath, "/a b/./c");
  EXPECT_EQ(seen[0].query, "x=1&y=%2F");
  EXPECT_TRUE(seen[0].hasQuery);
  using Headers = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(seen[0].headers, (Headers{{"Host", "h"}, {"X-Thing", "one"}, {"x-thing", "two"}}));
  EXPECT_EQ(seen[0].header("X-THING"), "one");
  EXPECT_EQ(seen[0].headerCount("x-Thing"), 2u);
  EXPECT_FALSE(seen[0].header("Authorization"));
  EXPECT_EQ(seen[1].body, "\xff{\"a\"}");
  EXPECT_FALSE(seen[1].hasQuery);
  EXPECT_EQ(seen[0].connection, seen[1].connection);
  EXPECT_NE(seen[0].connection, seen[2].connection);
  EXPECT_EQ(bridge.requestsTo("/a b/./c").size(), 1u);
  EXPECT_EQ(bridge.requestsTo("/a%20b/./c").size(), 1u);
}

TEST(FakeBridgeTest, ScriptsExactRulesAndTheLongestPrefix) {
  std::atomic<int> watched{0};
  FakeBridge bridge({.request = [&](const RecordedRequest&) { ++watched; }, .record = false});
  bridge.on("GET", "/x", std::vector<Reply>{{.status = 401}, {.body = "then"}});
  bridge.onPrefix("GET", "/assets/", [](const RecordedRequest& request) {
    return Reply{.body = request.decodedPath.substr(8)};
  });
  bridge.onPrefix("GET", "/assets/frames/",
                  [](const RecordedRequest&) { return Reply{.status = 404, .body = "deeper"}; });
  bridge.on("GET", "/assets/fixed", Reply{.body = "exact"});

  RawClient client(bridge.port());
  auto get = [&](const std::string& path) {
    client.send("GET " + path + " HTTP/1.1\r\n\r\n");
    return client.receiveResponse();
  };
  EXPECT_EQ(get("/x").substr(0, 12), "HTTP/1.1 401");
  EXPECT_EQ(bodyOf(get("/x")), "then");
  EXPECT_EQ(bodyOf(get("/x")), "then") << "the script's last reply repeats";
  EXPECT_EQ(bodyOf(get("/assets/k7")), "k7");
  EXPECT_EQ(bodyOf(get("/assets/frames/1")), "deeper");
  EXPECT_EQ(bodyOf(get("/assets/fixed")), "exact");
  EXPECT_EQ(bodyOf(get("/elsewhere")), "{}");

  EXPECT_TRUE(bridge.requests().empty()) << "recording is off";
  EXPECT_EQ(watched, 7) << "watching is not";
}

TEST(FakeBridgeTest, FramingModesOnTheWire) {
  std::atomic<int> accepted{0}, open{0};
  FakeBridge bridge({.connections = [&](int change) {
    open += change;
    accepted += change > 0 ? change : 0;
  }});
  bridge.on("GET", "/chunked",
            Reply{.body = "abcdefg", .tricklePieces = 3, .framing = Framing::Chunked});
  bridge.on("GET", "/until-close",
            Reply{.status = 500, .body = "\xe7\x8c", .framing = Framing::CloseDelimited});
  bridge.on("GET", "/close", Reply{.body = "", .closeAfter = true});
  bridge.on("GET", "/raw",
            Reply{.raw = std::string("HTTP/1.1 200 OK\r\nX: \x01\r\n\r\n"), .closeAfter = true});

  RawClient kept(bridge.port());
  kept.send("GET /chunked HTTP/1.1\r\n\r\n");
  EXPECT_EQ(
      kept.receiveUntil([](const std::string& bytes) { return bytes.ends_with("0\r\n\r\n"); }),
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n"
      "\r\n3\r\nabc\r\n3\r\ndef\r\n1\r\ng\r\n0\r\n\r\n");
  auto once = [&](const std::string& path) {
    RawClient client(bridge.port());
    client.send("GET " + path + " HTTP/1.1\r\n\r\n");
    std::string all = client.receiveAll(); // each of these ends the connection after its reply
    EXPECT_TRUE(client.ended()) << path;
    return all;
  };
  EXPECT_EQ(once("/until-close"), "HTTP/1.1 500 Internal Server Error\r\n"
                                  "Content-Type: application/json\r\nConnection: close\r\n"
                                  "\r\n\xe7\x8c");
  EXPECT_EQ(once("/close"), "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                            "Content-Length: 0\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(once("/raw"), "HTTP/1.1 200 OK\r\nX: \x01\r\n\r\n");

  // The client asking to close is obeyed too, and keep-alive otherwise holds.
  kept.send("GET /a HTTP/1.1\r\n\r\nGET /b HTTP/1.1\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(bodyOf(kept.receiveResponse()), "{}");
  EXPECT_NE(kept.receiveAll().find("Connection: close\r\n"), std::string::npos);
  EXPECT_TRUE(kept.ended());
  EXPECT_EQ(accepted, 4);
  // The fake counts a close once it has let go of the connection, just after the client sees it.
  for (auto until = Clock::now() + 10s; open != 0 && Clock::now() < until;)
    std::this_thread::sleep_for(1ms);
  EXPECT_EQ(open, 0) << "every connection closed was watched closing";
}

TEST(FakeBridgeTest, HeldRepliesGoOutTogetherAfterTheHoldWithoutStallingOthers) {
  constexpr auto kHold = 1000ms;
  constexpr int kHeld = 20;
  FakeBridge bridge;
  bridge.on("GET", "/held", Reply{.body = "late", .delay = kHold});
  std::vector<std::unique_ptr<RawClient>> clients;
  auto sent = Clock::now();
  for (int i = 0; i < kHeld; ++i) {
    clients.push_back(std::make_unique<RawClient>(bridge.port()));
    clients.back()->send("GET /held HTTP/1.1\r\n\r\n");
  }
  ASSERT_TRUE(bridge.waitForRequests("/held", kHeld, 10s));
  RawClient fast(bridge.port());
  fast.send("GET /fast HTTP/1.1\r\n\r\n");
  EXPECT_EQ(bodyOf(fast.receiveResponse()), "{}");
  auto fastAnswered = Clock::now();

  std::vector<Clock::time_point> arrivals;
  for (auto& client : clients) {
    EXPECT_EQ(bodyOf(client->receiveResponse()), "late");
    arrivals.push_back(Clock::now());
  }
  auto [first, last] = std::minmax_element(arrivals.begin(), arrivals.end());
  EXPECT_LT(fastAnswered, *first) << "the held replies stalled a request that was not held";
  EXPECT_GE(*first - sent, kHold - 1ms) << "a held reply went out early";
  EXPECT_LT(*last - *first, kHold / 2) << "held replies went out one after another";
}

// What counts requests on the fake (the benchmark) must see each as it arrives, not when its
// held answer goes out.
TEST(FakeBridgeTest, RequestWatcherSeesARequestAsItIsReadBeforeItsHeldAnswer) {
  constexpr auto kHold = 1000ms;
  std::promise<Clock::time_point> seen;
  FakeBridge bridge({.request = [&](const RecordedRequest&) { seen.set_value(Clock::now()); }});
  bridge.on("GET", "/held", Reply{.body = "late", .delay = kHold});
  RawClient client(bridge.port());
  auto sent = Clock::now();
  client.send("GET /held HTTP/1.1\r\n\r\n");
  auto watched = seen.get_future().get();
  EXPECT_LT(watched - sent, kHold / 2) << "watched only when the answer went out";
  EXPECT_EQ(bodyOf(client.receiveResponse()), "late");
  EXPECT_GE(Clock::now() - sent, kHold - 1ms);
}

// A Bridge serving from two threads: connections beyond them wait unaccepted, each until a
// client closes one of the two or an idle one runs out its keep-alive.
TEST(FakeBridgeTest, ServingLimitLeavesTheRestInTheBacklogUntilAThreadIsFree) {
  constexpr auto kKeepAlive = 1500ms;
  FakeBridge bridge({}, ServingLimit{.connections = 2, .keepAlive = kKeepAlive});
  auto leaving = std::make_unique<RawClient>(bridge.port());
  RawClient staying(bridge.port());
  for (RawClient* client : {leaving.get(), &staying}) {
    client->send("GET /a HTTP/1.1\r\n\r\n");
    EXPECT_EQ(bodyOf(client->receiveResponse()), "{}");
  }
  const auto answered = Clock::now();
  RawClient first(bridge.port()), second(bridge.port());
  ASSERT_TRUE(first.connected() && second.connected()) << "the backlog takes them";
  first.send("GET /first HTTP/1.1\r\n\r\n");
  second.send("GET /second HTTP/1.1\r\n\r\n");

  leaving.reset(); // its thread is free at once
  EXPECT_EQ(bodyOf(first.receiveResponse()), "{}");
  const auto firstAnswered = Clock::now();
  EXPECT_EQ(bodyOf(second.receiveResponse()), "{}");
  EXPECT_LT(firstAnswered - answered, kKeepAlive) << "served when a client closed";
  // Less a little: the keep-alive ran from the answer going out, a moment before `answered`.
  EXPECT_GE(Clock::now() - answered, kKeepAlive - 100ms) << "served before the idle one ran out";
  EXPECT_EQ(staying.receiveAll(), "");
  EXPECT_TRUE(staying.ended()) << "closed by the Bridge at the end of its keep-alive";
}

TEST(FakeBridgeTest, ClosingWithoutAnAnswerIsAnEndWithNoBytes) {
  FakeBridge bridge;
  bridge.on("GET", "/drop", Reply{.drop = true});
  RawClient dropped(bridge.port());
  dropped.send("GET /drop HTTP/1.1\r\n\r\n");
  EXPECT_EQ(dropped.receiveAll(), "");
  EXPECT_TRUE(dropped.ended());
  EXPECT_EQ(dropped.error(), 0) << "a clean end, not a reset";
  EXPECT_EQ(bridge.requestsTo("/drop").size(), 1u);

  // Half an answer, then a reset.
  bridge.on("GET", "/cut",
            Reply{.raw = std::string("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n12345"),
                  .resetAfter = true});
  RawClient cut(bridge.port());
  cut.send("GET /cut HTTP/1.1\r\n\r\n");
  EXPECT_TRUE(cut.receiveAll().starts_with("HTTP/1.1 200 OK"));
  EXPECT_EQ(cut.error(), ECONNRESET);
}

TEST(FakeBridgeTest, IdleConnectionsCloseOnRequestAndStopRefusesNewOnes) {
  FakeBridge bridge;
  bridge.on("GET", "/held", Reply{.body = "held", .delay = 500ms});
  RawClient idle(bridge.port()), busy(bridge.port());
  idle.send("GET /a HTTP/1.1\r\n\r\n");
  idle.receiveResponse();
  busy.send("GET /held HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(bridge.waitForRequests("/held", 1, 10s));
  bridge.closeIdleConnections();
  EXPECT_EQ(idle.receiveAll(), "");
  EXPECT_TRUE(idle.ended());
  EXPECT_EQ(bodyOf(busy.receiveResponse()), "held") << "a connection being answered is not idle";

  bridge.stop();
  EXPECT_EQ(busy.receiveAll(), "");
  EXPECT_TRUE(busy.ended());
  EXPECT_EQ(connectLoopback(bridge.port()), -1);
  EXPECT_EQ(errno, ECONNREFUSED);
}

// Labels: slow
TEST(FakeBridgeTest, SixtyFourMegabyteBodyStreamsWhileOthersAreServed) {
  FakeBridge bridge;
  const std::string big(64u << 20, 'b');
  bridge.on("GET", "/big", Reply{.body = big});
  RawClient slow(bridge.port());
  slow.send("GET /big HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(bridge.waitForRequests("/big", 1, 10s));
  // The big reply fills the socket buffers and waits for `slow` to read; the loop goes on.
  RawClient other(bridge.port());
  other.send("GET /small HTTP/1.1\r\n\r\n");
  EXPECT_EQ(bodyOf(other.receiveResponse()), "{}");
  std::string response = slow.receiveResponse();
  EXPECT_EQ(response.size(), big.size() + response.find("\r\n\r\n") + 4);
  EXPECT_TRUE(bodyOf(response) == big);
}

TEST(FakeBridgeTest, OversizedOrUnsupportedRequestsAreRefused) {
  FakeBridge bridge;
  auto refusal = [&](const std::string& request) {
    RawClient client(bridge.port());
    client.send(request);
    return client.receiveAll().substr(0, 12);
  };
  EXPECT_EQ(refusal("GET / HTTP/1.1\r\nX: " + std::string(9u << 20, 'h') + "\r\n\r\n"),
            "HTTP/1.1 431");
  EXPECT_EQ(refusal("POST / HTTP/1.1\r\nContent-Length: 300000000\r\n\r\n"), "HTTP/1.1 413");
  EXPECT_EQ(refusal("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"),
            "HTTP/1.1 501");
  EXPECT_EQ(refusal("GARBAGE\r\n\r\n"), "HTTP/1.1 400");
  EXPECT_TRUE(bridge.requests().empty());
}

} // namespace
} // namespace vantrel::testing
