// Labels: concurrency
#include "BenchBridge.h"

#include "DirectClient.h"
#include "driver/Descriptors.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <thread>
#include <unistd.h>

namespace vantrel::bench {
namespace {

using namespace std::chrono_literals;

TEST(BenchBridgeTest, ServesAssetsOverOneKeptConnection) {
  BenchBridge bridge("secret");
  DirectClient client(bridge.port(), "secret");
  for (int i = 0; i < 5; ++i) {
    std::string id = "k"; // appended, not "k" + ...: GCC 12 warns falsely on that at -O3
    id += std::to_string(i);
    EXPECT_EQ(client.get("/assets/" + id), BenchBridge::assetBody(id));
  }
  EXPECT_EQ(client.newConnections(), 1);
  BridgeCounts counts = bridge.counts();
  EXPECT_EQ(counts.connections, 1u);
  EXPECT_EQ(counts.assetGets, 5u);
  EXPECT_LE(counts.firstAsset, counts.lastAsset);
}

TEST(BenchBridgeTest, RefusesWrongTokenAndUnknownPaths) {
  BenchBridge bridge("secret");
  DirectClient wrong(bridge.port(), "stale");
  EXPECT_FALSE(wrong.get("/assets/a1"));
  DirectClient right(bridge.port(), "secret");
  EXPECT_FALSE(right.get("/assets/a1/frames"));
  EXPECT_FALSE(right.get("/events"));
  BridgeCounts counts = bridge.counts();
  EXPECT_EQ(counts.unauthorized, 1u);
  EXPECT_EQ(counts.other, 2u);
  EXPECT_EQ(counts.assetGets, 0u);
}

TEST(BenchBridgeTest, HeldAssetsWaitAndUsageReportsDoNot) {
  BenchBridge bridge("secret");
  bridge.setHold(1000ms);
  int held = driver::connectLoopback(bridge.port());
  ASSERT_GE(held, 0);
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(driver::sendAll(held, "GET /assets/slow HTTP/1.1\r\nAuthorization: Bearer "
                                    "secret\r\n\r\n"));
  int report = driver::connectLoopback(bridge.port());
  ASSERT_TRUE(driver::sendAll(report, "POST /telemetry HTTP/1.1\r\nAuthorization: Bearer "
                                      "secret\r\nContent-Length: 2\r\n\r\n{}"));
  pollfd both[2] = {{held, POLLIN, 0}, {report, POLLIN, 0}};
  ASSERT_EQ(::poll(both, 2, 10000), 1);
  EXPECT_NE(both[1].revents, 0) << "the usage report was answered first";
  pollfd late{held, POLLIN, 0};
  ASSERT_EQ(::poll(&late, 1, 10000), 1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 999ms);
  BridgeCounts counts = bridge.counts();
  EXPECT_EQ(counts.telemetry, 1u);
  EXPECT_EQ(counts.peakOpen, 2u);
  ::close(held);
  ::close(report);
}

TEST(BenchBridgeTest, ResetCountsKeepsOpenConnectionsOutOfTheNewPeriod) {
  BenchBridge bridge("secret");
  DirectClient client(bridge.port(), "secret");
  ASSERT_TRUE(client.get("/assets/a"));
  bridge.resetCounts();
  ASSERT_TRUE(client.get("/assets/b"));
  BridgeCounts counts = bridge.counts();
  EXPECT_EQ(counts.connections, 0u); // reused, not new
  EXPECT_EQ(counts.assetGets, 1u);
  EXPECT_EQ(counts.peakOpen, 1u);
}

TEST(BenchBridgeTest, LargeBodyIsACardOfExactlyTheSizeAsked) {
  for (std::size_t size : {std::size_t{4000}, std::size_t{(1u << 20) + 7}}) {
    std::string body = BenchBridge::largeAssetBody("big", size);
    ASSERT_EQ(body.size(), size);
    auto card = nlohmann::json::parse(body, nullptr, false);
    ASSERT_TRUE(card.is_object()) << "not JSON at " << size << " bytes";
    EXPECT_EQ(card["shortID"], "big");
    EXPECT_GT(card["notes"].size(), size / 2000) << "mostly notes, not padding";
  }
  // The benchmark's own size: only the count of notes differs from the sizes parsed above, and
  // parsing 80 MiB would take seconds under a sanitizer.
  std::string large = BenchBridge::largeAssetBody("big", 80u << 20);
  EXPECT_EQ(large.size(), 80u << 20);
  EXPECT_TRUE(large.ends_with("\"}"));
  // Too small for its members: the smallest whole card, never a cut one.
  auto tiny = nlohmann::json::parse(BenchBridge::largeAssetBody("t", 10), nullptr, false);
  ASSERT_TRUE(tiny.is_object());
  EXPECT_TRUE(tiny["notes"].empty());
}

TEST(BenchBridgeTest, LargeReplyIsServedWholeAndSignalsItsStart) {
  BenchBridge bridge("secret");
  std::string body = BenchBridge::largeAssetBody("big", 3u << 20);
  bridge.serveLarge("big", body);
  EXPECT_EQ(bridge.largeStarts(), 0u);
  EXPECT_FALSE(bridge.waitLargeStarts(1, std::chrono::steady_clock::now()));
  DirectClient client(bridge.port(), "secret");
  EXPECT_EQ(client.get("/assets/big"), body);
  EXPECT_TRUE(bridge.waitLargeStarts(1, std::chrono::steady_clock::now() + 10s));
  EXPECT_EQ(client.get("/assets/other"), BenchBridge::assetBody("other")); // the rest as before
  EXPECT_EQ(bridge.largeStarts(), 1u);
  EXPECT_EQ(bridge.counts().assetGets, 2u);
}

} // namespace
} // namespace vantrel::bench
