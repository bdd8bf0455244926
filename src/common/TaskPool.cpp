#include "common/TaskPool.h"

#include <chrono>
#include <pthread.h>
#include <thread>

namespace vantrel {
namespace {

// Big enough for serialising the deepest message the server accepts; macOS gives secondary
// threads only 512 KiB by default, so the size is set explicitly on every platform.
constexpr std::size_t kWorkerStack = 1024 * 1024;
constexpr auto kIdleLinger = std::chrono::seconds(5);

} // namespace

TaskPool& TaskPool::shared() {
  static auto* pool = new TaskPool(); // never destroyed: workers may outlive main's return
  return *pool;
}

void TaskPool::spawn(std::function<void()> task) {
  std::lock_guard lock(lock_);
  queue_.push_back(std::move(task));
  if (queue_.size() <= idle_) {
    work_.notify_one();
    return;
  }
  if (!starterRunning_) {
    starterRunning_ = true;
    std::thread([this] { starterLoop(); }).detach();
  }
  shortOf_.notify_one();
}

void TaskPool::starterLoop() {
  std::unique_lock lock(lock_);
  for (;;) {
    shortOf_.wait(lock, [this] { return queue_.size() > idle_ + starting_; });
    ++starting_;
    lock.unlock();
    bool started = startWorker();
    lock.lock();
    if (!started) {
      // Out of threads for now: queued tasks go to workers as they free up; try again shortly.
      --starting_;
      lock.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      lock.lock();
    }
  }
}

bool TaskPool::startWorker() {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kWorkerStack);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int rc = pthread_create(
      &thread, &attr,
      [](void* pool) -> void* {
        static_cast<TaskPool*>(pool)->workerLoop();
        return nullptr;
      },
      this);
  pthread_attr_destroy(&attr);
  return rc == 0;
}

void TaskPool::workerLoop() {
  std::unique_lock lock(lock_);
  --starting_;
  for (;;) {
    if (queue_.empty()) {
      ++idle_;
      bool got = work_.wait_for(lock, kIdleLinger, [this] { return !queue_.empty(); });
      --idle_;
      if (!got)
        return;
    }
    auto task = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    task();
    task = nullptr; // destroy the captures outside the lock
    lock.lock();
  }
}

} // namespace vantrel
