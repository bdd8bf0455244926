#pragma once

// Helpers for driving the server's coroutines in the test process, without sockets: a transport
// that answers from a script and records what it was asked, and a way to run one coroutine to
// its end.

#include "bridge/Credentials.h"
#include "bridge/HttpTransport.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace vantrel::testing {

// An HttpTransport whose every exchange is answered at once by `answer`. Records each request;
// any thread.
class ScriptedTransport final : public bridge::HttpTransport {
public:
  using Answer = std::function<bridge::HttpOutcome(const bridge::HttpRequest&)>;

  explicit ScriptedTransport(Answer answer) : answer_(std::move(answer)) {}

  boost::asio::awaitable<bridge::HttpOutcome> exchange(bridge::HttpRequest request) override {
    bridge::HttpOutcome outcome = answer_(request);
    {
      std::lock_guard lock(lock_);
      requests_.push_back(std::move(request));
    }
    co_return outcome;
  }

  std::vector<bridge::HttpRequest> requests() const {
    std::lock_guard lock(lock_);
    return requests_;
  }

private:
  Answer answer_;
  mutable std::mutex lock_; // guards requests_ only
  std::vector<bridge::HttpRequest> requests_;
};

// Credentials that need no file: a Bridge on port 4567 with token "t0k".
inline bridge::CredentialsLookup fixedCredentials() {
  return {bridge::Credentials{"t0k", 4567}, std::nullopt};
}

// A context that runs coroutines on this thread, one at a time, each to its end. A transport that
// keeps connections must only ever be used on one context, and be destroyed before it: declare
// the TestLoop first.
class TestLoop {
public:
  template <typename T> T run(boost::asio::awaitable<T> task) {
    auto result = boost::asio::co_spawn(io_, std::move(task), boost::asio::use_future);
    io_.restart();
    io_.run();
    return result.get();
  }

private:
  boost::asio::io_context io_;
};

// One TestLoop for the whole test process, for transports that keep connections from one run
// to the next: those belong to the context they were made on.
inline TestLoop& sharedTestLoop() {
  static TestLoop loop;
  return loop;
}

} // namespace vantrel::testing
