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
#include <variant>
#include <vector>

namespace vantrel::testing {

// A reply as a script gives it: the transport hands the body to the request's sink, as a real
// one would, declaring its length.
struct ScriptedReply {
  int status = 0;
  std::string body;
};
using ScriptedOutcome =
    std::variant<ScriptedReply, bridge::TransportFailure, bridge::ReplyTooLarge>;

// An HttpTransport whose every exchange is answered at once by `answer`. Records each request;
// any thread.
class ScriptedTransport final : public bridge::HttpTransport {
public:
  using Answer = std::function<ScriptedOutcome(const bridge::HttpRequest&)>;

  explicit ScriptedTransport(Answer answer) : answer_(std::move(answer)) {}

  boost::asio::awaitable<bridge::HttpOutcome> exchange(bridge::HttpRequest request) override {
    ScriptedOutcome scripted = answer_(request);
    bridge::HttpOutcome outcome = deliver(std::move(scripted), *request.replyBody);
    request.replyBody.reset();
    {
      std::lock_guard lock(lock_);
      requests_.push_back(std::move(request));
    }
    co_return outcome;
  }

  static bridge::HttpOutcome deliver(ScriptedOutcome scripted, bridge::BodySink& sink) {
    auto* reply = std::get_if<ScriptedReply>(&scripted);
    if (!reply) {
      if (auto* failure = std::get_if<bridge::TransportFailure>(&scripted))
        return *failure;
      return std::get<bridge::ReplyTooLarge>(scripted);
    }
    const std::uint64_t size = reply->body.size();
    if (!sink.mayFit(size) || !sink.append(reply->body))
      return bridge::ReplyTooLarge{reply->status, size};
    return bridge::HttpReply{reply->status};
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

// A sink that keeps a reply's body as it came, up to `limit` bytes.
class PlainSink final : public bridge::BodySink {
public:
  explicit PlainSink(std::size_t limit = std::size_t(-1)) : limit_(limit) {}
  bool append(std::string_view bytes) override {
    if (bytes.size() > limit_ - bytes_.size())
      return false;
    bytes_.append(bytes);
    return true;
  }
  bool mayFit(std::uint64_t length) const override { return length <= limit_; }
  const std::string& bytes() const { return bytes_; }

private:
  std::size_t limit_;
  std::string bytes_;
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
