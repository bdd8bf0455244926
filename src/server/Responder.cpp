#include "server/Responder.h"

#include "common/ReplyLimit.h"
#include "server/JsonRpc.h"

#include <cassert>
#include <utility>

namespace vantrel::server {

Responder::~Responder() {
  if (out_) { // not answered, not moved from: the task died before it could answer
    ToolResult failed = ToolResult::fail("内部错误");
    answer(failed);
  }
  // After the line is out and whatever its answer set going (the usage report, posted) is on its
  // way: the drain at end of input can then miss neither.
  if (pending_)
    pending_->leave();
}

void Responder::answer(ToolResult& result) noexcept {
  if (std::exchange(answered_, true)) {
    assert(!"tools/call answered twice");
    return;
  }
  if (!out_)
    return; // moved from: the Responder it was moved into answers
  auto out = std::move(out_);
  try {
    auto line = toolCallLine(idText_, result);
    if (line && line->size() > kMaxResponseLine) {
      // The host would end the whole session on it; the agent can ask for less.
      result = replyTooLarge(result.status, result.text.bytesAppended());
      line = toolCallLine(idText_, result);
    }
    if (line && line->size() <= kMaxResponseLine) {
      out->send(line->pieces());
    } else {
      // An agent left waiting forever is worse than one told that something failed here; the
      // diagnostic still says why.
      out->send(std::nullopt);
      result = ToolResult::fail("内部错误");
      out->send(toolCallLine(idText_, result)->pieces());
    }
  } catch (const std::exception&) {
    // No memory left even for the line's envelope: the call stays unanswered, and the
    // diagnostic says so.
    out->send(std::nullopt);
  }
}

} // namespace vantrel::server
