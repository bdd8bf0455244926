#pragma once

#include "support/FakeBridge.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel::bench {

// What the Bridge has seen since the last reset.
struct BridgeCounts {
  std::uint64_t connections = 0;  // TCP connections accepted
  std::uint64_t peakOpen = 0;     // most connections open at one moment
  std::uint64_t assetGets = 0;    // GET /assets/<id>, answered 200
  std::uint64_t telemetry = 0;    // POST /telemetry
  std::uint64_t unauthorized = 0; // wrong or missing bearer token
  std::uint64_t other = 0;        // anything else, answered 404 (malformed requests go uncounted)
  // When the first and the last asset request of the period arrived, after the reset; zero when
  // none did. Under a burst this shows how long the client took to get every request out.
  std::chrono::steady_clock::duration firstAsset{}, lastAsset{};
};

// The kit's fake Bridge set up for measuring: GET /assets/<id> is answered with assetBody(id),
// held for the hold time; POST /telemetry with "{}"; a wrong bearer token with 401 and anything
// else with 404. Requests and connections are counted here as the fake reads or accepts them;
// none is recorded. Listening when the constructor returns (which throws std::runtime_error if
// it cannot); any thread may call its members.
class BenchBridge {
public:
  explicit BenchBridge(std::string token);

  int port() const { return bridge_.port(); }
  const std::string& token() const { return token_; }

  // Asset requests that arrive from now on are answered this long after they were read.
  void setHold(std::chrono::milliseconds hold) { holdMs_.store(hold.count()); }

  BridgeCounts counts() const;
  // Counts from zero again; connections still open are not counted again.
  void resetCounts();
  // Waits until counts().telemetry reaches `count`; false at the deadline.
  bool waitTelemetry(std::uint64_t count, std::chrono::steady_clock::time_point deadline) const;

  // The exact body served for one card, so callers can check what came back.
  static std::string assetBody(std::string_view shortID);

  // A card as valid JSON text of exactly `bytes` bytes (or of the few hundred its members need,
  // if that is more): the usual members, then notes with escapes and CJK text, then padding.
  static std::string largeAssetBody(std::string_view shortID, std::size_t bytes);

  // From now on GET /assets/<shortID> is answered at once with `body`, held or not, token or
  // not: a reply too large to build per request. Each time such a request is read, just before
  // its answer starts going out, largeStarts() goes up by one (counted since the last reset, and
  // among the asset GETs too).
  void serveLarge(std::string_view shortID, std::string body);
  std::uint64_t largeStarts() const;
  // Waits until largeStarts() reaches `count`; false at the deadline.
  bool waitLargeStarts(std::uint64_t count, std::chrono::steady_clock::time_point deadline) const;

  // From now on, keeps when the next GET /assets/<shortID> arrives (the moment its last byte was
  // read), forgetting any arrival kept before: the Bridge's own clock for when a call reached it.
  void watchArrival(std::string_view shortID);
  // When the watched request arrived; nothing if it has not by `deadline`.
  std::optional<std::chrono::steady_clock::time_point>
  waitArrival(std::chrono::steady_clock::time_point deadline) const;

private:
  using Clock = std::chrono::steady_clock;
  // On the fake's thread, as it reads a request or accepts and closes connections.
  void count(const testing::RecordedRequest& request);
  void countConnections(int change);
  testing::Reply respond(const testing::RecordedRequest& request) const;
  // Waits until `value(counts_, large_)` reaches `count`; false at the deadline.
  bool waitFor(std::uint64_t count, Clock::time_point deadline,
               std::uint64_t (*value)(const BridgeCounts&, std::uint64_t)) const;

  const std::string token_;
  std::atomic<long long> holdMs_{0};

  mutable std::mutex countsLock_; // guards the seven below only
  mutable std::condition_variable counted_;
  BridgeCounts counts_;
  std::uint64_t large_ = 0; // large replies started, counted among the asset GETs too
  std::uint64_t open_ = 0;  // connections open now
  Clock::time_point resetAt_ = Clock::now();
  std::string largePath_;   // the path serveLarge() took over, or empty
  std::string watchedPath_; // the path watchArrival() waits for, or empty
  std::optional<Clock::time_point> arrival_;

  testing::FakeBridge bridge_; // last: its loop stops before the members it reads go
};

} // namespace vantrel::bench
