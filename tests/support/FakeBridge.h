#pragma once

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
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
  std::string target;       // the request-target as sent: raw path, then "?" and the raw query
  std::string path;         // the raw path part of the target, still percent-encoded
  std::string decodedPath;  // the path with %XX decoded
  std::string query;        // the raw text after the first "?"; "" when there is none
  bool hasQuery = false;    // whether the target held a "?" at all
  httplib::Headers headers; // as received; names compare case-insensitively
  std::string body;         // the body bytes
  int remotePort = -1;      // the client's port: the same for requests on one kept-alive connection

  // The value of header `name` (any case), or nothing when absent.
  std::optional<std::string> header(const std::string& name) const;
  std::size_t headerCount(const std::string& name) const;
  // The body parsed as JSON; a discarded value when it is not JSON.
  nlohmann::json json() const;
};

// How the fake answers one request. Defaults: 200 with "{}" as application/json, at once.
struct Reply {
  int status = 200;
  std::string body = "{}"; // sent byte for byte: may be empty or not UTF-8
  std::string contentType = "application/json";
  std::chrono::milliseconds delay{0}; // wait this long before answering at all
  // When above 1, the body goes out in this many pieces with `trickleGap` before each but the
  // first: a slow reply that keeps moving.
  std::size_t tricklePieces = 0;
  std::chrono::milliseconds trickleGap{0};
  bool drop = false; // close the connection without sending a single byte of answer
  // Runs on the server's thread after the request is recorded and before anything is sent
  // (before the delay): e.g. rewrite bridge.token the moment a 401 goes out.
  std::function<void(const RecordedRequest&)> before = nullptr;
};

// An in-process stand-in for the host app's Bridge on 127.0.0.1 and an ephemeral port, already
// listening when the constructor returns. Answers by rules set per method and exact path
// (matched against the decoded path or the raw one); anything unmatched gets Reply{}.
// Records every request; all members are safe to call from any thread while it runs.
class FakeBridge {
public:
  explicit FakeBridge(std::size_t workerThreads = 64);
  ~FakeBridge();
  FakeBridge(const FakeBridge&) = delete;
  FakeBridge& operator=(const FakeBridge&) = delete;

  int port() const { return port_; }
  std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }

  // Every matching request gets `reply` (replaces an earlier rule for the same method and path).
  void on(const std::string& method, const std::string& path, Reply reply);
  // The n-th matching request gets script[n]; once the script runs out its last reply repeats.
  void on(const std::string& method, const std::string& path, std::vector<Reply> script);
  // A script: 401 to the first `count` requests, then `then`.
  static std::vector<Reply> unauthorizedFirst(std::size_t count, Reply then = {});

  std::vector<RecordedRequest> requests() const;
  std::vector<RecordedRequest> requestsTo(std::string_view path) const;
  void clearRequests();
  // Waits until at least `count` requests (to `path`) have arrived; false on time-out.
  bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
  bool waitForRequests(std::string_view path, std::size_t count,
                       std::chrono::milliseconds timeout) const;

  // Stops listening, as a host app that quits: connections to port() are refused from now on.
  void stop();

private:
  struct Rule {
    std::vector<Reply> script;
    std::size_t served = 0;
  };

  void handle(const httplib::Request& request, httplib::Response& response);
  Reply replyFor(const RecordedRequest& request);
  // Sleeps for `span` unless the fake is shutting down first; false if it is.
  bool pause(std::chrono::milliseconds span);

  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::atomic<bool> listenEnded_{false};

  mutable std::mutex rulesLock_; // guards rules_ only
  std::map<std::pair<std::string, std::string>, Rule> rules_;

  mutable std::mutex recordLock_; // guards recorded_ only
  mutable std::condition_variable recordedChanged_;
  std::vector<RecordedRequest> recorded_;

  std::mutex stopLock_; // guards stopping_ only
  std::condition_variable stoppingChanged_;
  bool stopping_ = false;
};

} // namespace vantrel::testing
