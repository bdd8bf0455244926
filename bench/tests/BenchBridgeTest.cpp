#include "BenchBridge.h"

#include "DirectClient.h"
#include "Fds.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vantrel::bench {
namespace {

using namespace std::chrono_literals;

std::unique_ptr<BenchBridge> startBridge() {
  std::string error;
  auto bridge = BenchBridge::start("secret", error);
  EXPECT_TRUE(bridge) << error;
  return bridge;
}

// A raw client, for what libcurl would never send: several requests in one packet, a body in
// pieces.
class RawClient {
public:
  explicit RawClient(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawClient() { ::close(fd_); }
  bool connected() const { return connected_; }
  void send(const std::string& bytes) {
    ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), kSendFlags),
              static_cast<ssize_t>(bytes.size()));
  }
  // Everything received until `count` responses are complete (by Content-Length) or 2 s pass.
  std::string receive(int count) {
    std::string all;
    auto deadline = std::chrono::steady_clock::now() + 2s;
    while (completeResponses(all) < count && std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0)
        continue;
      char buffer[4096];
      ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0)
        break;
      all.append(buffer, static_cast<std::size_t>(n));
    }
    return all;
  }

private:
  static int completeResponses(const std::string& all) {
    int count = 0;
    std::size_t pos = 0;
    for (;;) {
      auto head = all.find("\r\n\r\n", pos);
      auto length = all.find("Content-Length: ", pos);
      if (head == std::string::npos || length == std::string::npos || length > head)
        return count;
      std::size_t end = head + 4 + std::stoul(all.substr(length + 16));
      if (all.size() < end)
        return count;
      ++count;
      pos = end;
    }
  }
  int fd_;
  bool connected_ = false;
};

std::string get(const std::string& path, const std::string& token = "secret") {
  return "GET " + path + " HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + token + "\r\n\r\n";
}

TEST(BenchBridgeTest, ServesAssetsOverOneKeptConnection) {
  auto bridge = startBridge();
  DirectClient client(bridge->port(), "secret");
  for (int i = 0; i < 5; ++i) {
    std::string id = "k"; // appended, not "k" + ...: GCC 12 warns falsely on that at -O3
    id += std::to_string(i);
    EXPECT_EQ(client.get("/assets/" + id), BenchBridge::assetBody(id));
  }
  EXPECT_EQ(client.newConnections(), 1);
  BridgeCounts counts = bridge->counts();
  EXPECT_EQ(counts.connections, 1u);
  EXPECT_EQ(counts.assetGets, 5u);
  EXPECT_LE(counts.firstAsset, counts.lastAsset);
}

TEST(BenchBridgeTest, RefusesWrongTokenAndUnknownPaths) {
  auto bridge = startBridge();
  DirectClient wrong(bridge->port(), "stale");
  EXPECT_FALSE(wrong.get("/assets/a1"));
  DirectClient right(bridge->port(), "secret");
  EXPECT_FALSE(right.get("/assets/a1/frames"));
  EXPECT_FALSE(right.get("/events"));
  BridgeCounts counts = bridge->counts();
  EXPECT_EQ(counts.unauthorized, 1u);
  EXPECT_EQ(counts.other, 2u);
  EXPECT_EQ(counts.assetGets, 0u);
}

TEST(BenchBridgeTest, PipelinedRequestsAndSplitBodiesAreAnsweredInOrder) {
  auto bridge = startBridge();
  RawClient raw(bridge->port());
  ASSERT_TRUE(raw.connected());
  raw.send(get("/assets/one") + get("/assets/two"));
  std::string both = raw.receive(2);
  auto one = both.find(BenchBridge::assetBody("one"));
  auto two = both.find(BenchBridge::assetBody("two"));
  ASSERT_NE(one, std::string::npos);
  ASSERT_NE(two, std::string::npos);
  EXPECT_LT(one, two);

  // The body arrives after the head, in a separate packet; the reply waits for all of it.
  raw.send("POST /telemetry HTTP/1.1\r\nAuthorization: Bearer secret\r\n"
           "Content-Type: application/json\r\nContent-Length: 10\r\n\r\n{\"tool\":");
  EXPECT_EQ(raw.receive(1), "");
  raw.send("1}");
  EXPECT_NE(raw.receive(1).find("HTTP/1.1 200 OK"), std::string::npos);
  EXPECT_EQ(bridge->counts().telemetry, 1u);
}

TEST(BenchBridgeTest, HeldRepliesWaitWithoutBlockingOtherConnections) {
  auto bridge = startBridge();
  bridge->setHold(300ms);
  RawClient held(bridge->port());
  ASSERT_TRUE(held.connected());
  auto start = std::chrono::steady_clock::now();
  held.send(get("/assets/slow"));

  // Telemetry is never held, and a held asset request must not stall the loop.
  RawClient other(bridge->port());
  other.send("POST /telemetry HTTP/1.1\r\nAuthorization: Bearer secret\r\n"
             "Content-Length: 2\r\n\r\n{}");
  EXPECT_NE(other.receive(1).find("200 OK"), std::string::npos);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 250ms);

  std::string reply = held.receive(1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 290ms);
  EXPECT_NE(reply.find(BenchBridge::assetBody("slow")), std::string::npos);
  EXPECT_EQ(bridge->counts().peakOpen, 2u);
}

TEST(BenchBridgeTest, ResetCountsKeepsOpenConnectionsOutOfTheNewPeriod) {
  auto bridge = startBridge();
  DirectClient client(bridge->port(), "secret");
  ASSERT_TRUE(client.get("/assets/a"));
  bridge->resetCounts();
  ASSERT_TRUE(client.get("/assets/b"));
  BridgeCounts counts = bridge->counts();
  EXPECT_EQ(counts.connections, 0u); // reused, not new
  EXPECT_EQ(counts.assetGets, 1u);
  EXPECT_EQ(counts.peakOpen, 1u);
}

} // namespace
} // namespace vantrel::bench
