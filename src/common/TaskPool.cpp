#include "common/TaskPool.h"

#include <chrono>
#include <pthread.h>

namespace vantrel {
namespace {

// Big enough for serialising the deepest message the server accepts; macOS gives secondary
// threads only 512 KiB by default, so the size is set explicitly on every platform.
constexpr std::size_t kWorkerStack = 1024 * 1024;
constexpr auto kIdleLinger = std::chrono::seconds(5);

struct Start {
  TaskPool* pool;
  std::function<void()> task;
};

} // namespace

TaskPool& TaskPool::shared() {
  static auto* pool = new TaskPool(); // never destroyed: workers may outlive main's return
  return *pool;
}

void TaskPool::spawn(std::function<void()> task) {
  {
    std::lock_guard lock(lock_);
    if (idle_ > queue_.size()) {
      queue_.push_back(std::move(task));
      wake_.notify_one();
      return;
    }
    ++live_;
  }
  if (startThread(task))
    return;

  // Out of threads: hand the task to the next worker that frees up; with no worker at all,
  // run it here rather than lose it.
  std::unique_lock lock(lock_);
  --live_;
  if (live_ > 0) {
    queue_.push_back(std::move(task)); // a worker takes it before it next waits
    wake_.notify_one();
    return;
  }
  lock.unlock();
  task();
}

bool TaskPool::startThread(std::function<void()>& task) {
  auto* start = new Start{this, std::move(task)};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kWorkerStack);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int rc = pthread_create(
      &thread, &attr,
      [](void* arg) -> void* {
        auto* s = static_cast<Start*>(arg);
        TaskPool* pool = s->pool;
        auto first = std::move(s->task);
        delete s;
        pool->workerLoop(std::move(first));
        return nullptr;
      },
      start);
  pthread_attr_destroy(&attr);
  if (rc == 0)
    return true;
  task = std::move(start->task);
  delete start;
  return false;
}

void TaskPool::workerLoop(std::function<void()> task) {
  for (;;) {
    task();
    task = nullptr;
    std::unique_lock lock(lock_);
    ++idle_;
    bool got = wake_.wait_for(lock, kIdleLinger, [this] { return !queue_.empty(); });
    --idle_;
    if (!got) {
      --live_;
      return;
    }
    task = std::move(queue_.front());
    queue_.pop_front();
  }
}

} // namespace vantrel
