#pragma once

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace vantrel::testing {

// One request exactly as it reached the fake Bridge.
struct RecordedRequest {
  std::string method;
  std::string target;      // the request-target as sent: raw path, then "?" and the raw query
  std::string path;        // the raw path part of the target, still percent-encoded
  std::string decodedPath; // the path with %XX decoded
  std::string query;       // the raw text after the first "?"; "" when there is none
  bool hasQuery = false;   // whether the target held a "?" at all
  std::vector<std::pair<std::string, std::string>> headers; // in arrival order, names as sent
  std::string body;                                         // the body bytes
  std::uint64_t connection = 0; // which accepted connection it came on, counted from 1
  std::chrono::steady_clock::time_point arrived; // when its last byte was read

  // The first value of header `name` (any case), or nothing when absent.
  std::optional<std::string> header(std::string_view name) const;
  std::size_t headerCount(std::string_view name) const;
  // The body parsed as JSON; a discarded value when it is not JSON.
  nlohmann::json json() const;
};

// How a reply is delimited on the wire.
enum class Framing {
  ContentLength,
  Chunked,        // Transfer-Encoding: chunked, one chunk per trickled piece
  CloseDelimited, // no length at all: the body ends when the connection closes
};

// How the fake answers one request. Defaults: 200 with "{}" as application/json, at once, on a
// connection kept alive. New members go at the end: tests name them in declaration order.
struct Reply {
  int status = 200;
  std::string body = "{}";            // sent byte for byte: may be empty or not UTF-8
  std::chrono::milliseconds delay{0}; // hold the answer this long; no byte before
  // When above 1, the body (or `raw`) goes out in this many pieces with `trickleGap` before
  // each but the first: a slow reply that keeps moving.
  std::size_t tricklePieces = 0;
  std::chrono::milliseconds trickleGap{0};
  bool drop = false; // after the delay, close the connection without a single byte of answer
  Framing framing = Framing::ContentLength;
  // Sent as the whole answer instead of a status line, headers and body: malformed replies,
  // huge header blocks. The connection stays open unless closeAfter or resetAfter says not.
  std::optional<std::string> raw = std::nullopt;
  bool closeAfter = false; // send "Connection: close" and close once the reply is out
  bool resetAfter = false; // once the reply (or `raw`) is out, abort: the client sees a reset
};

// What a user of the fake may watch, on the fake's own thread, as it happens.
struct FakeBridgeWatchers {
  // Each request as it is read, before its reply is chosen or held.
  std::function<void(const RecordedRequest&)> request = nullptr;
  // +1 as a connection is accepted, -1 as one closes.
  std::function<void(int change)> connections = nullptr;
  // False: requests are answered and watched but not kept (a benchmark's millions).
  bool record = true;
};

// A Bridge that serves connections from a fixed pool of threads, as a host app's HTTP server
// often does: at most `connections` at a time, each held until its client closes it or until
// `keepAlive` passes with no request on it (counted from its accept, then from each answer).
// The rest wait unaccepted in the listen backlog: 4096 deep, or as deep as the system allows.
struct ServingLimit {
  std::size_t connections = 1;
  std::chrono::milliseconds keepAlive{0};
};

// An HTTP/1.1 stand-in for the host app's Bridge on 127.0.0.1 and an ephemeral port, listening
// when the constructor returns. One thread runs one poll loop that owns every socket, so a
// held connection costs a descriptor and no thread; connections are kept alive.
//
// Replies follow rules per method and path: an exact rule (matching the decoded or the raw path)
// wins over the longest prefix rule; anything unmatched gets Reply{}. Requests are recorded,
// unless the watchers say not. Without a ServingLimit, every connection is served at once and kept
// for as long as the client keeps it. Every public member may be called from any thread while it
// runs; handlers and watchers run on the fake's own thread.
class FakeBridge {
public:
  using Handler = std::function<Reply(const RecordedRequest&)>;

  // Throws std::runtime_error if it cannot listen.
  explicit FakeBridge(FakeBridgeWatchers watchers = {},
                      std::optional<ServingLimit> limit = std::nullopt);
  ~FakeBridge();
  FakeBridge(const FakeBridge&) = delete;
  FakeBridge& operator=(const FakeBridge&) = delete;

  int port() const { return port_; }

  // Every matching request gets `reply` (replaces an earlier rule for the same method and path).
  void on(const std::string& method, const std::string& path, Reply reply);
  // The n-th matching request gets script[n]; once the script runs out its last reply repeats.
  void on(const std::string& method, const std::string& path, std::vector<Reply> script);
  // Requests whose decoded path starts with `prefix` get what `handler` returns.
  void onPrefix(const std::string& method, const std::string& prefix, Handler handler);

  std::vector<RecordedRequest> requests() const;
  std::vector<RecordedRequest> requestsTo(std::string_view path) const; // decoded or raw path
  // Waits until at least `count` requests to `path` have been recorded; false on time-out.
  bool waitForRequests(std::string_view path, std::size_t count,
                       std::chrono::milliseconds timeout) const;

  // Closes every kept-alive connection that is idle (nothing half-read, nothing being answered),
  // so a client's pooled connections go stale. Returns once they are closed.
  void closeIdleConnections();
  // Stops as a host app that quits: open connections close, and new ones are refused from the
  // moment it returns.
  void stop();

private:
  using Clock = std::chrono::steady_clock;
  struct Connection;
  struct Script {
    std::vector<std::shared_ptr<const Reply>> replies;
    std::size_t served = 0;
  };
  using RuleKey = std::pair<std::string, std::string>; // method, path or prefix

  void loop();
  void runTasks();
  bool hasRoom() const;
  void acceptAll(Clock::time_point now);
  void readFrom(Connection& connection);
  void advance(Connection& connection);
  bool sendSteps(Connection& connection);
  bool parseRequest(Connection& connection);
  void reject(Connection& connection, int status, const std::string& why);
  void answer(Connection& connection, RecordedRequest request, bool keepAlive);
  void plan(Connection& connection, std::shared_ptr<const Reply> reply, bool keepAlive,
            Clock::time_point from);
  std::shared_ptr<const Reply> choose(const RecordedRequest& request);
  void runOnLoop(std::function<void()> task);
  void wake();

  int listener_ = -1;
  int port_ = 0;
  int wakeRead_ = -1, wakeWrite_ = -1;
  std::thread thread_;
  std::atomic<std::thread::id> loopId_;
  std::once_flag joined_;
  std::atomic<bool> stopping_{false};
  const FakeBridgeWatchers watchers_;
  const std::optional<ServingLimit> limit_;

  // The loop thread's own: no lock.
  std::vector<std::unique_ptr<Connection>> connections_;
  std::uint64_t nextConnectionId_ = 1;
  Clock::time_point acceptAfter_{}; // out of descriptors: the listener rests until then

  std::mutex rulesLock_; // guards exact_ and prefixes_ only
  std::map<RuleKey, Script> exact_;
  std::map<RuleKey, std::shared_ptr<const Handler>> prefixes_;

  mutable std::mutex recordLock_; // guards recorded_ only
  mutable std::condition_variable recordedChanged_;
  std::vector<RecordedRequest> recorded_;

  std::mutex tasksLock_; // guards tasks_ and loopEnded_ only
  std::vector<std::function<void()>> tasks_;
  bool loopEnded_ = false;
};

} // namespace vantrel::testing
