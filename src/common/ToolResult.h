#pragma once

#include "common/JsonText.h"

#include <utility>

namespace vantrel {

// The outcome of one tool call. Only `text` and `isError` reach the agent; `status` feeds the
// usage report: 200 for success, the Bridge's HTTP status for a refusal, 0 when the server
// answered by itself without an HTTP reply. The text is kept escaped, as the response line
// carries it, so a relayed reply is never held twice.
struct ToolResult {
  JsonText text;
  bool isError = false;
  int status = 0;

  static ToolResult ok(JsonText text, int status = 200) {
    return ToolResult{std::move(text), false, status};
  }
  static ToolResult fail(JsonText text, int status = 0) {
    return ToolResult{std::move(text), true, status};
  }

  friend bool operator==(const ToolResult&, const ToolResult&) = default;
};

} // namespace vantrel
