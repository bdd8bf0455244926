#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace vantrel::bridge {

// One HTTP exchange as the Bridge client forms it: a full URL, header lines ("Name: value"),
// and a body only when one is sent.
struct HttpRequest {
  std::string method;
  std::string url;
  std::vector<std::string> headers;
  std::optional<std::string> body;
};

// An HTTP response arrived: its status and its complete body bytes.
struct HttpReply {
  int status = 0;
  std::string body;
};

// No HTTP response arrived; `description` words why, as the HTTP library puts it.
struct TransportFailure {
  std::string description;
};

using HttpOutcome = std::variant<HttpReply, TransportFailure>;

// The seam between the Bridge client and the network. `perform` blocks until the exchange ends,
// is called from many threads at once, and never throws.
class HttpTransport {
public:
  virtual ~HttpTransport() = default;
  virtual HttpOutcome perform(const HttpRequest& request) const noexcept = 0;
};

} // namespace vantrel::bridge
