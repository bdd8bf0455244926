#pragma once

// A raw TCP peer that plays a Bridge byte for byte: replies cut, split, trickled or reset exactly
// where a test wants them, which no HTTP server library will do.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vantrel::testing {

// One request as the peer read it.
struct PeerRequest {
  std::string method;
  std::string target;
  std::vector<std::string> headerLines; // as sent, without their CRLF
  std::string body;                     // by Content-Length; empty after readHead()
  int connection = 0;                   // which accepted connection, counted from 1
};

// What the peer saw while it ran.
struct PeerRecord {
  std::vector<PeerRequest> requests;
  int connections = 0; // accepted
  bool scriptEnded = false;
};

// Listens on 127.0.0.1 and an ephemeral port from construction, and plays its script on a thread
// of its own. Steps act on the current connection: the one the last request came on.
//
// Threading: the script runs on the peer's thread only. port(), marks(), waitForMarks() and
// lastMoved() may be called from any thread while it runs; finish() from one thread, once (the
// destructor calls it if nobody did). Steps left when finish() is called are not played.
class ScriptedPeer {
public:
  using Clock = std::chrono::steady_clock;

  struct Step {
    enum class Kind {
      read,          // the next request, head and body, on any connection (accepting if need be)
      readHead,      // the same, but leaves the body unread in the socket
      send,          // `bytes`, all of them, unless the client has gone
      pause,         // `gap`
      close,         // an orderly close (a reset if the client's bytes are still unread)
      shutdownWrite, // the client sees the end of the stream; we still read
      reset,         // SO_LINGER 0, then close: the client sees a reset
      awaitBytes,    // until the client sends something (or closes), without reading it
      mark,          // counts one more in marks(), so a client can wait for this point
    };
    Kind kind;
    std::string bytes = {};
    std::chrono::milliseconds gap{0};
  };

  static Step read() { return {Step::Kind::read}; }
  static Step readHead() { return {Step::Kind::readHead}; }
  static Step send(std::string bytes) { return {Step::Kind::send, std::move(bytes)}; }
  static Step pause(std::chrono::milliseconds gap) { return {Step::Kind::pause, {}, gap}; }
  static Step close() { return {Step::Kind::close}; }
  static Step shutdownWrite() { return {Step::Kind::shutdownWrite}; }
  static Step reset() { return {Step::Kind::reset}; }
  static Step awaitBytes() { return {Step::Kind::awaitBytes}; }
  static Step mark() { return {Step::Kind::mark}; }

  // Throws std::runtime_error if it cannot listen.
  explicit ScriptedPeer(std::vector<Step> script);
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  int port() const { return port_; }

  // Stops the script where it is, closes every socket and returns what was seen.
  PeerRecord finish();

  int marks() const;
  // Waits until marks() reaches `count`; false at the deadline.
  [[nodiscard]] bool waitForMarks(int count, Clock::time_point deadline) const;
  // When a byte last moved either way (or a connection was accepted): an idle watch that counts
  // bytes, for a client whose own progress reports count only the body.
  Clock::time_point lastMoved() const {
    return Clock::time_point(Clock::duration(lastMoved_.load()));
  }

private:
  struct Connection {
    int fd = -1;
    int number = 0;
    std::string unread; // read from the socket, not yet taken by a request
  };

  void run();
  bool play(const Step& step);
  bool readRequest(bool withBody);
  bool awaitReadable(int fd);
  bool sendAll(Connection& connection, const std::string& bytes);
  bool sleepFor(std::chrono::milliseconds gap);
  void drop(Connection* connection, bool abort);
  void moved();

  std::vector<Step> script_;
  int listener_ = -1;
  int port_ = 0;
  int wakeRead_ = -1, wakeWrite_ = -1;
  std::atomic<bool> stopping_{false};
  std::atomic<Clock::rep> lastMoved_;

  // The peer thread's own until it is joined: no lock.
  std::vector<Connection> connections_;
  int current_ = -1; // index into connections_, or -1
  int accepted_ = 0;
  PeerRecord record_;

  mutable std::mutex marksLock_; // guards marks_ only
  mutable std::condition_variable marked_;
  int marks_ = 0;

  std::thread thread_; // last: starts once everything above is ready
};

} // namespace vantrel::testing
