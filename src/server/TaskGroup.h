#pragma once

#include <cstddef>
#include <functional>
#include <mutex>

namespace vantrel::server {

// Counts tool calls that have started and not yet written their response. Entered on the
// reading thread before a call's task starts, left by the task after its line is written, so
// the drain at end of input (EventLoop::runUntilDrained) cannot miss a started call.
class TaskGroup {
public:
  void enter() {
    std::lock_guard lock(lock_);
    ++count_;
  }
  void leave() {
    std::function<void()> then;
    {
      std::lock_guard lock(lock_);
      if (--count_ > 0)
        return;
      then = onEmpty_;
    }
    if (then)
      then(); // outside the lock: it may post to a loop
  }
  // Called, on the thread that leaves last, each time the group becomes empty. Set before any
  // task that may leave starts.
  void onEmpty(std::function<void()> then) {
    std::lock_guard lock(lock_);
    onEmpty_ = std::move(then);
  }
  bool empty() const {
    std::lock_guard lock(lock_);
    return count_ == 0;
  }

private:
  mutable std::mutex lock_; // guards count_ and onEmpty_
  std::size_t count_ = 0;
  std::function<void()> onEmpty_;
};

} // namespace vantrel::server
