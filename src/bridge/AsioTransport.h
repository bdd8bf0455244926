#pragma once

#include "bridge/HttpTransport.h"

#include <chrono>
#include <cstddef>
#include <memory>

namespace vantrel::bridge {

// Idle keep-alive connections kept for reuse, over all ports: a burst of calls leaves no more
// than this many behind.
inline constexpr std::size_t kMaxIdleConnections = 16;

// A reply header block longer than this is a transport failure, not something to hold in memory.
inline constexpr std::size_t kMaxReplyHead = 1024 * 1024;

// HttpTransport on Boost.Asio and Beast: HTTP/1.1 to 127.0.0.1 only, never through a proxy,
// never following a redirect. Replies are read by Content-Length, chunked, or to the close of the
// connection. An attempt fails after `idleTimeout` without a byte moving either way; a reply
// that keeps dripping is never cut off. Connections are kept alive and reused; one taken from
// the pool that the Bridge has closed is replaced before any byte of the request is written, so
// that never counts as a failure. Exchanges run as coroutines on the caller's executor, which
// must be a strand (or a single-threaded context): the time-out's timer shares it.
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
