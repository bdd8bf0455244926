#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace vantrel {

// Runs tasks on worker threads without ever making a task wait for another: a task goes to an
// idle worker when there is one, otherwise to a new thread. Workers linger briefly for more work,
// so a burst of calls reuses threads instead of paying for one each. There is no upper bound on
// threads: a slow Bridge call must never hold back a fast one.
class TaskPool {
public:
  static TaskPool& shared();

  // Starts `task` at once on some worker; never blocks on running tasks. Any thread.
  void spawn(std::function<void()> task);

private:
  void workerLoop(std::function<void()> task);
  bool startThread(std::function<void()>& task);

  std::mutex lock_; // guards queue_, idle_ and live_
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  std::size_t idle_ = 0;
  std::size_t live_ = 0;
};

} // namespace vantrel
