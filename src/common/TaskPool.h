#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace vantrel {

// Runs tasks on worker threads without ever making a task wait for another: a task goes to an
// idle worker when there is one; otherwise a starter thread makes a new worker for it. Workers
// linger briefly for more work, so a burst of calls reuses threads instead of paying for one
// each. There is no upper bound on threads: a slow Bridge call must never hold back a fast one.
class TaskPool {
public:
  static TaskPool& shared();

  // Queues `task` and returns at once: the caller (the reading thread) never pays for creating
  // a thread. Any thread.
  void spawn(std::function<void()> task);

private:
  TaskPool() = default;
  void starterLoop();
  void workerLoop();
  bool startWorker();

  std::mutex lock_;                 // guards everything below
  std::condition_variable work_;    // a task was queued for an idle worker
  std::condition_variable shortOf_; // more tasks are queued than workers can take
  std::deque<std::function<void()>> queue_;
  std::size_t idle_ = 0;     // workers waiting for a task
  std::size_t starting_ = 0; // workers created and not yet waiting
  bool starterRunning_ = false;
};

} // namespace vantrel
