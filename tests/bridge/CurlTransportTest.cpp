#include "bridge/CurlTransport.h"

#include "support/FakeBridge.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace vantrel::bridge {
namespace {

using vantrel::testing::FakeBridge;
using vantrel::testing::Reply;
using namespace std::chrono_literals;

// A loopback port with nothing listening on it: bound, then released.
int unusedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), size);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(fd);
  return ntohs(address.sin_port);
}

HttpRequest get(const FakeBridge& bridge, const std::string& path) {
  return HttpRequest{"GET", bridge.baseURL() + path, {"Authorization: Bearer t"}, std::nullopt};
}

const HttpReply& replyOf(const HttpOutcome& outcome) {
  if (const auto* failure = std::get_if<TransportFailure>(&outcome))
    ADD_FAILURE() << "transport failure: " << failure->description;
  static const HttpReply none{};
  const auto* reply = std::get_if<HttpReply>(&outcome);
  return reply ? *reply : none;
}

class ScopedEnv {
public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name))
      old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_)
      ::setenv(name_, old_->c_str(), 1);
    else
      ::unsetenv(name_);
  }

private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(CurlTransportTest, NothingListeningIsATransportFailureWithADescription) {
  CurlTransport transport;
  auto outcome = transport.perform(
      {"GET", "http://127.0.0.1:" + std::to_string(unusedPort()) + "/x", {}, std::nullopt});
  auto* failure = std::get_if<TransportFailure>(&outcome);
  ASSERT_TRUE(failure);
  EXPECT_FALSE(failure->description.empty());
  EXPECT_NE(failure->description.back(), '\n');
}

TEST(CurlTransportTest, ProxyVariablesAreIgnored) {
  const std::string proxy = "http://127.0.0.1:" + std::to_string(unusedPort());
  ScopedEnv lower("http_proxy", proxy), upper("HTTP_PROXY", proxy), all("ALL_PROXY", proxy),
      allLower("all_proxy", proxy), noProxy("no_proxy", ""), noProxyUpper("NO_PROXY", "");
  FakeBridge bridge;
  bridge.on("GET", "/x", Reply{.body = "direct"});
  CurlTransport transport;
  EXPECT_EQ(replyOf(transport.perform(get(bridge, "/x"))).body, "direct");
}

TEST(CurlTransportTest, SequentialRequestsShareOneConnection) {
  FakeBridge bridge;
  CurlTransport transport;
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(replyOf(transport.perform(get(bridge, "/x"))).status, 200);
  auto seen = bridge.requests();
  ASSERT_EQ(seen.size(), 4u);
  for (const auto& request : seen)
    EXPECT_EQ(request.remotePort, seen[0].remotePort);
}

TEST(CurlTransportTest, DotSegmentsAreSentAsIs) {
  FakeBridge bridge;
  CurlTransport transport;
  transport.perform(get(bridge, "/assets/../telemetry/./x"));
  ASSERT_EQ(bridge.requests().size(), 1u);
  EXPECT_EQ(bridge.requests()[0].target, "/assets/../telemetry/./x");
}

TEST(CurlTransportTest, SlowButMovingReplyIsNotCutOff) {
  FakeBridge bridge;
  const std::string body(4000, 'x');
  bridge.on("GET", "/slow",
            Reply{.body = body, .tricklePieces = 8, .trickleGap = std::chrono::milliseconds(400)});
  CurlTransport transport(std::chrono::seconds(1)); // the whole reply takes ~2.8 s
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(replyOf(transport.perform(get(bridge, "/slow"))).body, body);
  EXPECT_GE(std::chrono::steady_clock::now() - started, 2s);
}

TEST(CurlTransportTest, SilentReplyRunsIntoTheIdleTimeout) {
  FakeBridge bridge;
  bridge.on("GET", "/silent", Reply{.delay = 4s});
  CurlTransport transport(std::chrono::seconds(1));
  auto started = std::chrono::steady_clock::now();
  auto outcome = transport.perform(get(bridge, "/silent"));
  ASSERT_TRUE(std::holds_alternative<TransportFailure>(outcome));
  EXPECT_EQ(std::get<TransportFailure>(outcome).description,
            "Operation timed out: no data moved for 1 seconds");
  EXPECT_LT(std::chrono::steady_clock::now() - started, 3500ms);
}

TEST(CurlTransportTest, OnlySilenceCountsNotAnAverageRate) {
  // One byte every 1.5 s is below one byte per second on average, yet data never stops moving
  // for the whole 2 s limit: the reply must arrive.
  FakeBridge bridge;
  bridge.on(
      "GET", "/drip",
      Reply{.body = "abcd", .tricklePieces = 4, .trickleGap = std::chrono::milliseconds(1500)});
  CurlTransport transport(std::chrono::seconds(2));
  EXPECT_EQ(replyOf(transport.perform(get(bridge, "/drip"))).body, "abcd");
}

TEST(CurlTransportTest, DroppedConnectionIsATransportFailure) {
  FakeBridge bridge;
  bridge.on("GET", "/drop", Reply{.drop = true});
  CurlTransport transport;
  EXPECT_TRUE(std::holds_alternative<TransportFailure>(transport.perform(get(bridge, "/drop"))));
}

TEST(CurlTransportTest, LargePostGoesOutWholeWithoutWaitingForContinue) {
  FakeBridge bridge;
  CurlTransport transport;
  std::string body = "\"" + std::string(3 << 20, 'a') + "\"";
  auto started = std::chrono::steady_clock::now();
  auto outcome = transport.perform(
      {"POST", bridge.baseURL() + "/import", {"Content-Type: application/json"}, body});
  EXPECT_EQ(replyOf(outcome).status, 200);
  // curl's own Expect wait is a full second; nothing here should come near it.
  EXPECT_LT(std::chrono::steady_clock::now() - started, 900ms);
  auto seen = bridge.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].body, body);
  EXPECT_FALSE(seen[0].header("Expect"));
}

TEST(CurlTransportTest, PostWithoutBodySendsZeroLength) {
  FakeBridge bridge;
  CurlTransport transport;
  EXPECT_EQ(replyOf(transport.perform({"POST",
                                       bridge.baseURL() + "/telemetry",
                                       {"Content-Type: application/json"},
                                       std::nullopt}))
                .status,
            200);
  auto seen = bridge.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].body, "");
  EXPECT_EQ(seen[0].header("Content-Length"), "0");
}

TEST(CurlTransportTest, HundredsOfConcurrentRequests) {
  FakeBridge bridge(/*workerThreads=*/96);
  bridge.on("GET", "/slowish", Reply{.body = "ok", .delay = 50ms});
  CurlTransport transport;
  constexpr int kThreads = 300;
  std::atomic<int> succeeded{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      auto outcome = transport.perform(get(bridge, i % 2 ? "/slowish" : "/fast"));
      const auto* reply = std::get_if<HttpReply>(&outcome);
      if (reply && reply->status == 200)
        ++succeeded;
    });
  }
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(succeeded.load(), kThreads);
  EXPECT_EQ(bridge.requests().size(), static_cast<std::size_t>(kThreads));
}

} // namespace
} // namespace vantrel::bridge
