#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

namespace vantrel::bench {

// What the Bridge has seen since the last reset.
struct BridgeCounts {
  std::uint64_t connections = 0;  // TCP connections accepted
  std::uint64_t peakOpen = 0;     // most connections open at one moment
  std::uint64_t assetGets = 0;    // GET /assets/<id>, answered 200
  std::uint64_t telemetry = 0;    // POST /telemetry
  std::uint64_t unauthorized = 0; // wrong or missing bearer token
  std::uint64_t other = 0;        // anything else: 404, or a request we could not read
  // When the first and the last asset request of the period arrived, after the reset; zero when
  // none did. Under a burst this shows how long the client took to get every request out.
  std::chrono::steady_clock::duration firstAsset{}, lastAsset{};
};

// A fake Bridge for measuring, not for testing behaviour: one thread, one poll loop, any number of
// keep-alive connections, so a thousand held requests cost a socket each and no thread. It serves
// GET /assets/<id> with assetBody(id), optionally held for a set time, and POST /telemetry with
// "{}". Listens on 127.0.0.1 only.
class BenchBridge {
public:
  // Listening on an ephemeral port and serving when it returns; nullptr (and `error`) otherwise.
  static std::unique_ptr<BenchBridge> start(std::string token, std::string& error);
  ~BenchBridge(); // stops the loop and closes every socket
  BenchBridge(const BenchBridge&) = delete;
  BenchBridge& operator=(const BenchBridge&) = delete;

  int port() const { return port_; }
  const std::string& token() const { return token_; }

  // Asset requests that arrive from now on are answered this long after they were read.
  void setHold(std::chrono::milliseconds hold) { holdMs_.store(hold.count()); }

  BridgeCounts counts() const;
  void resetCounts(); // any thread; connections still open are not counted again

  // The exact body served for one card, so callers can check what came back.
  static std::string assetBody(std::string_view shortID);

private:
  struct Connection;
  struct Reply {
    int status;
    std::string body;
    bool held; // answered only after the hold time
  };
  BenchBridge(int listenFd, int port, int wakeRead, int wakeWrite, std::string token);
  void loop();
  bool serve(Connection& connection, std::chrono::steady_clock::time_point now);
  Reply respond(std::string_view method, std::string_view target, std::string_view authorization);

  const int listenFd_;
  const int port_;
  const int wakeRead_;
  const int wakeWrite_;
  const std::string token_;
  std::atomic<long long> holdMs_{0};
  std::atomic<std::chrono::steady_clock::rep> resetAt_{0}, firstAsset_{0}, lastAsset_{0};
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> connections_{0}, peakOpen_{0}, open_{0}, assetGets_{0}, telemetry_{0},
      unauthorized_{0}, other_{0};
  std::thread thread_;
};

} // namespace vantrel::bench
