#pragma once

#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vantrel::bridge {

// Give up on an attempt after this long without any data moving (or without a connection).
inline constexpr std::chrono::seconds kBridgeTimeout{180};

// Where a reply's body goes as it arrives: the transport keeps none of it. The layer above
// chooses the form the bytes are kept in and how many it takes. Used by one exchange at a time.
class BodySink {
public:
  virtual ~BodySink() = default;
  // Takes the next bytes of the body. False: it takes no more, the reply is too large for it; the
  // exchange then ends without reading the rest.
  virtual bool append(std::string_view bytes) = 0;
  // Whether a body of `length` bytes may fit, asked when a reply declares its length, so that
  // one that cannot is refused before any of it is read.
  virtual bool mayFit(std::uint64_t length) const = 0;
};

// One HTTP exchange with 127.0.0.1 as the Bridge client forms it. The transport adds Host, and
// Content-Length whenever there is a body or the method is POST.
struct HttpRequest {
  std::string method;
  int port = 0;
  std::string target;               // the encoded path and query
  std::vector<std::string> headers; // further header lines, "Name: value"
  std::optional<std::string> body;
  // Kept connections are shared only between requests of one group (the Bridge's bearer token),
  // so a host app restarted on the same port never gets the old instance's connections.
  std::string connectionGroup;
  // False: the exchange opens a new connection rather than take a kept one, as a retry must,
  // since the first attempt may have failed on a connection the Bridge was closing.
  bool reuseConnection = true;
  // Receives the final reply's body; never null.
  std::shared_ptr<BodySink> replyBody;
};

// An HTTP response arrived: its status; its complete body went to the request's sink.
struct HttpReply {
  int status = 0;
};

// No HTTP response arrived; `description` words why, e.g. "connect 127.0.0.1:8080: Connection
// refused".
struct TransportFailure {
  std::string description;
};

// A reply whose body its sink would not take whole: `status` is the Bridge's, `declared` its
// Content-Length when it had one. The rest of it is not read, and it is not asked for again.
struct ReplyTooLarge {
  int status = 0;
  std::optional<std::uint64_t> declared;
};

using HttpOutcome = std::variant<HttpReply, TransportFailure, ReplyTooLarge>;

// The seam between the Bridge client and the network. `exchange` suspends the calling coroutine
// until the exchange ends. Never throws: every failure, running out of memory included, is an
// outcome.
//
// Threading and lifetime, which every implementation and caller relies on:
// - Many exchanges run at once, on several loop threads; each is awaited on one thread (its
//   context's), and nothing of an exchange is shared with another.
// - Coroutines start lazily: nothing runs until the returned awaitable is first awaited, and the
//   body resumes long after the call. So the request is taken by value, and neither the
//   transport object nor anything of the caller's may be referred to after the first
//   suspension: keep what the exchange needs (a pool, say) in shared ownership and copy it in.
// - An implementation may block its thread only as EventLoop.h allows.
class HttpTransport {
public:
  virtual ~HttpTransport() = default;
  virtual boost::asio::awaitable<HttpOutcome> exchange(HttpRequest request) = 0;

  // Lets go of whatever is kept between exchanges (idle connections). Called before the context
  // that runs the exchanges is destroyed. Any thread.
  virtual void shutdown() {}
};

} // namespace vantrel::bridge
