#pragma once

#include "bridge/HttpTransport.h"
#include "bridge/ReplyParser.h"

#include <chrono>
#include <cstddef>
#include <memory>

namespace vantrel::bridge {

// Idle keep-alive connections kept for reuse, over all ports: a burst of calls leaves no more
// than this many behind.
inline constexpr std::size_t kMaxIdleConnections = 16;

// HttpTransport on Boost.Asio and Beast: HTTP/1.1 to 127.0.0.1 only, never through a proxy,
// never following a redirect, never sending a request again by itself. Replies are read as
// ReplyParser reads them (interim replies skipped; by Content-Length, chunked, or to the close).
// An attempt fails after `idleTimeout` without a byte moving either way: every byte read or
// written counts, so a reply that keeps dripping, even inside its head, is never cut off.
// After a failed write the socket is still read: a Bridge that refused the request from its head
// and closed has answered.
//
// Connections are kept alive and reused within a request's connection group, and only after a
// complete reply that allows it with nothing unread after it. A kept connection that the Bridge
// closed while idle is found before any byte is written and replaced; one it closes while the
// request is on its way (a race no client can see coming) fails the attempt, which is why the
// Bridge client's retry asks for a new connection.
//
// Threading: exchange() may run on many threads at once. Await it on a strand (or a
// single-threaded context): the idle timer and the socket share the awaiting coroutine's
// executor. A kept socket keeps the executor of the task that opened it; that is safe because one
// coroutine holds it at a time and it changes hands only through the pool's mutex. Never share an
// exchange's socket.
class AsioTransport final : public HttpTransport {
public:
  explicit AsioTransport(std::chrono::steady_clock::duration idleTimeout = kBridgeTimeout);
  ~AsioTransport() override;
  AsioTransport(const AsioTransport&) = delete;
  AsioTransport& operator=(const AsioTransport&) = delete;

  boost::asio::awaitable<HttpOutcome> exchange(HttpRequest request) override;

  // Closes the idle connections.
  void shutdown() override;
  std::size_t idleConnections() const;

  class Pool;

private:
  std::shared_ptr<Pool> pool_;
  std::chrono::steady_clock::duration idleTimeout_;
};

} // namespace vantrel::bridge
