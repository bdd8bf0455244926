#pragma once

#include "bridge/HttpTransport.h"
#include "bridge/ReplyParser.h"

#include <chrono>
#include <cstddef>
#include <memory>

namespace vantrel::bridge {

// The connections a Bridge is taken to serve at once: as many as the platform's shared HTTP
// client opens to one host.
inline constexpr std::size_t kBridgeConnections = 6;
// Idle keep-alive connections kept for reuse, over all ports: no more than that client keeps.
inline constexpr std::size_t kMaxIdleConnections = 6;

// HttpTransport on Boost.Asio and Beast: HTTP/1.1 to 127.0.0.1 only, never through a proxy,
// never following a redirect, never sending a request again by itself. Replies are read as
// ReplyParser reads them (interim replies skipped; by Content-Length, chunked, or to the close).
// An attempt fails after `idleTimeout` without a byte moving either way: every byte read or
// written counts, so a reply that keeps dripping, even inside its head, is never cut off.
// After a failed write the socket is still read: a Bridge that refused the request from its head
// and closed has answered.
//
// Connections are kept alive and reused within a request's connection group, on the context that
// opened them, and only after a complete reply that allows it with nothing unread after it. A
// Bridge may serve its connections from a fixed pool of threads, each held by a connection until
// the connection closes or the Bridge's keep-alive runs out, and leave the others unaccepted in
// its listen backlog: a connection kept idle while others wait there stalls them for that whole
// keep-alive. So a connection is kept only while no more than kBridgeConnections to its Bridge
// are open (in flight or idle), and one that opens beyond that closes an idle one first; then a
// Bridge that serves that many at once never has a connection of ours waiting behind an idle
// one, while exchanges that overlap (a call and the usage report before it) keep their
// connections. Exchanges in flight are not limited: a Bridge that holds a thousand calls
// answers them together.
//
// A kept connection that the Bridge closed while idle is found before any byte is written and
// replaced; one it closes while the request is on its way (a race no client can see coming)
// fails the attempt, which is why the Bridge client's retry asks for a new connection.
//
// Threading: exchange() may run on many threads at once. Await it on a strand (or a
// single-threaded context): the idle timer and the socket share the awaiting coroutine's
// executor. A kept socket is taken again only by a task on the context that opened it, through
// the pool's mutex; any thread may close an idle one (making room, evicting the oldest), as none
// of its operations is pending then. The mutex is never held while a socket closes or is polled.
// Never share an exchange's socket.
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
