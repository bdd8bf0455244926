#include "server/Responder.h"

#include "server/JsonRpc.h"

namespace vantrel::server {

Responder::~Responder() {
  answer(ToolResult::fail("内部错误"));
}

void Responder::answer(const ToolResult& result) noexcept {
  if (!out_)
    return;
  auto out = std::move(out_);
  auto pending = std::move(pending_);
  try {
    out->send(toolCallLine(idText_, result));
  } catch (const std::exception&) {
    // No memory left to build the line: the call stays unanswered, as one that cannot be
    // serialised does, and the diagnostic says so.
    out->send(std::nullopt);
  }
  pending->leave(); // after the line is out, so the drain at end of input cannot miss it
}

} // namespace vantrel::server
