#pragma once

#include "bridge/BridgeCall.h"
#include "bridge/Credentials.h"
#include "bridge/HttpTransport.h"
#include "common/ToolResult.h"

#include <boost/asio/awaitable.hpp>
#include <cstddef>
#include <functional>
#include <memory>

namespace vantrel::bridge {

// A request line and headers longer than this are refused before anything is sent: no Bridge
// takes them, and retrying cannot help.
inline constexpr std::size_t kMaxRequestHead = 1024 * 1024;

// The tools' only road to the host app's Bridge. Every request reads bridge.token afresh, makes
// one attempt and at most one retry (after a transport failure or a 401, with the credentials
// read again), and turns every outcome into a ToolResult. Keeps no state of its own; copies share
// the transport. Never throws, never logs.
class BridgeClient {
public:
  using CredentialsSource = std::function<CredentialsLookup()>;
  // An empty text for a reply's body to go into as it arrives: the layer above chooses its form
  // (escaped for its response line) and its limit. A reply its text will not take is refused.
  using ReplyText = std::function<JsonText()>;

  explicit BridgeClient(
      std::shared_ptr<HttpTransport> transport, CredentialsSource credentials = readCredentials,
      ReplyText replyText = [] { return JsonText(); });

  // Suspends until the logical request is settled. Any loop thread. A member coroutine starts
  // lazily: this client must still exist when the awaitable is first awaited (not only when it
  // is made); from then on the coroutine holds copies of what it needs.
  boost::asio::awaitable<ToolResult> request(BridgeCall call) const;

private:
  std::shared_ptr<HttpTransport> transport_;
  CredentialsSource credentials_;
  ReplyText replyText_;
};

// A sink that keeps a reply's body in a text. Any thread, one exchange at a time.
class TextSink final : public BodySink {
public:
  explicit TextSink(JsonText text) : text_(std::move(text)) {}
  bool append(std::string_view bytes) override { return text_.append(bytes); }
  bool mayFit(std::uint64_t length) const override { return length <= text_.limit(); }
  JsonText& text() { return text_; }

private:
  JsonText text_;
};

// The HTTP request for one attempt: the encoded target, "Authorization: Bearer <token>", and for
// a JSON body its Content-Type and text. Pure.
HttpRequest httpRequestFor(const Credentials& credentials, const BridgeCall& call);

// An HTTP reply and its body as a tool result: 200 is success with the body as text; any other
// status is a failure "Bridge 返回 <status>：<body>". A body that is not UTF-8 reads as "{}". Pure;
// the body is moved, never copied.
ToolResult resultOf(const HttpReply& reply, JsonText body);

} // namespace vantrel::bridge
