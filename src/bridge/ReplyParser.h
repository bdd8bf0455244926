#pragma once

#include "bridge/HttpTransport.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel::bridge {

// A reply header block longer than this is a transport failure, not something to hold in memory.
inline constexpr std::size_t kMaxReplyHead = 1024 * 1024;

// Reads the final HTTP/1.1 response from the bytes of one connection, fed as they arrive, in
// pieces of any size. Interim replies (1xx) are read and skipped, as RFC 9110 asks of a client
// that did not ask for them; 101 Switching Protocols ends the exchange, since the connection then
// no longer speaks HTTP. The head is taken as lenient clients take it: empty lines before the
// status line, bare LF line ends, a status line without a reason phrase (nor the space before
// it) and folded field lines are read as the Bridge meant them; all else is Beast's to judge. The
// body, by Content-Length, chunked or up to the close, goes to `body` as it arrives, never held
// whole. Pure: no sockets, no clock; one thread at a time.
class ReplyParser {
public:
  enum class Step {
    more,   // feed more bytes, or putEof() when the connection has ended
    done,   // the final reply is complete: status(), reusable()
    failed, // not an HTTP reply we can read: error()
    // The sink refused the body, by its Content-Length (declaredLength()) or as it arrived: read
    // no further.
    tooLarge,
  };

  // `body` must outlive the parser.
  ReplyParser(BodySink& body);
  ~ReplyParser();
  ReplyParser(const ReplyParser&) = delete;
  ReplyParser& operator=(const ReplyParser&) = delete;

  // The next bytes from the connection. After done or failed, further bytes are not read.
  Step put(std::string_view bytes);
  // The connection has ended: completes a body that runs to the close, fails anything else.
  Step putEof();

  int status() const;
  // The final reply's Content-Length, when it has one and its head has been read.
  std::optional<std::uint64_t> declaredLength() const;
  // The connection may carry another request: the reply allows keep-alive, was delimited by its
  // length or chunks, and nothing came after it in the bytes put (bytes that arrive later stay in
  // the socket, for the pool's check).
  bool reusable() const;
  // Why the reply failed, in a few words ("end of stream", "bad version", "header limit
  // exceeded", "switching protocols", ...).
  const std::string& error() const;

private:
  struct Impl;
  Impl& impl();

  BodySink& body_;
  std::unique_ptr<Impl> impl_;
};

} // namespace vantrel::bridge
