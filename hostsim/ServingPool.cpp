#include "ServingPool.h"

#include <algorithm>
#include <system_error>

namespace vantrel::hostsim {

ServingPool::ServingPool(std::size_t kept, std::size_t most, std::chrono::milliseconds idleLife)
    : kept_(kept), most_(std::max(kept, most)), idleLife_(idleLife) {
  std::lock_guard lock(lock_);
  for (std::size_t i = 0; i < kept_; ++i)
    spawn();
}

ServingPool::~ServingPool() {
  shutdown();
}

EnqueueResult ServingPool::enqueue(std::function<void()> job) {
  std::vector<std::thread> finished;
  {
    std::lock_guard lock(lock_);
    jobs_.push_back(std::move(job));
    finished.swap(retired_);
    if (jobs_.size() > idle_ && threads_.size() < most_)
      spawn();
    wake_.notify_one();
  }
  for (auto& thread : finished)
    thread.join();
  return static_cast<EnqueueResult>(true); // taken, where the header asks
}

void ServingPool::shutdown() {
  Threads running;
  std::vector<std::thread> finished;
  {
    std::lock_guard lock(lock_);
    shuttingDown_ = true;
    // No thread retires from here on, so none touches the list it is in.
    running.splice(running.end(), threads_);
    finished.swap(retired_);
  }
  wake_.notify_all();
  for (auto& thread : running)
    thread.join();
  for (auto& thread : finished)
    thread.join();
}

std::size_t ServingPool::threads() const {
  std::lock_guard lock(lock_);
  return threads_.size();
}

void ServingPool::spawn() {
  auto self = threads_.emplace(threads_.end());
  try {
    *self = std::thread([this, self] { work(self); });
  } catch (const std::system_error&) {
    threads_.erase(self);
  }
}

void ServingPool::work(Threads::iterator self) {
  std::unique_lock lock(lock_);
  for (;;) {
    if (!jobs_.empty()) {
      auto job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      job();
      job = nullptr; // what it holds goes outside the lock
      lock.lock();
      continue;
    }
    if (shuttingDown_)
      return;
    ++idle_;
    bool woken =
        wake_.wait_for(lock, idleLife_, [this] { return !jobs_.empty() || shuttingDown_; });
    --idle_;
    if (!woken && threads_.size() > kept_) {
      retired_.push_back(std::move(*self));
      threads_.erase(self);
      return;
    }
  }
}

} // namespace vantrel::hostsim
