#pragma once

#include "common/ToolResult.h"
#include "server/LineWriter.h"
#include "server/TaskGroup.h"

#include <memory>
#include <string>

namespace vantrel::server {

// The answer owed to one tools/call, made so that it is given exactly once: answer() writes the
// response line; a Responder dropped without an answer (its task failed or was destroyed)
// answers with an internal-error result instead, so no call is ever left hanging. It leaves
// `pending` when it goes, after the answer and what the answer set going (the call's usage
// report), so the drain at end of input always ends and misses neither. Moved into the task that
// serves the call; used by one thread at a time.
class Responder {
public:
  // `pending` has been entered for this call by the reading thread.
  Responder(std::string idText, std::shared_ptr<LineWriter> out, std::shared_ptr<TaskGroup> pending)
      : idText_(std::move(idText)), out_(std::move(out)), pending_(std::move(pending)) {}
  Responder(Responder&& other) noexcept = default;
  Responder& operator=(Responder&&) = delete;
  Responder(const Responder&) = delete;
  ~Responder();

  // Writes the tool-call response. A result whose line would pass
  // kMaxResponseLine is answered with the refusal instead, and one that cannot be written as JSON
  // with "内部错误" (and the diagnostic on standard error); `result` is then what was sent. A
  // second answer is a bug: asserted in debug builds, ignored otherwise.
  void answer(ToolResult& result) noexcept;
  void answer(ToolResult&& result) noexcept { answer(result); }

private:
  std::string idText_;
  std::shared_ptr<LineWriter> out_; // null once answered or moved from
  std::shared_ptr<TaskGroup> pending_;
  bool answered_ = false;
};

} // namespace vantrel::server
