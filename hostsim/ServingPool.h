#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace vantrel::hostsim {

// cpp-httplib's enqueue returns nothing in older releases and whether it took the job in newer
// ones; the pool answers in whichever form the installed header declares.
using EnqueueResult =
    decltype(std::declval<httplib::TaskQueue&>().enqueue(std::function<void()>()));

// The threads that serve the Bridge's connections. cpp-httplib keeps a thread on each
// connection for as long as the client keeps it alive, so a fixed pool makes a burst of new
// connections wait for others that are merely idle. This one starts `kept` threads, adds one
// whenever a connection finds none free, up to `most`, and lets the added ones go after
// `idleLife` without work. Past `most`, connections queue and are served in turn.
//
// enqueue() runs on the listening thread; jobs run on the pool's threads. shutdown() serves what
// is queued, then joins every thread; the destructor calls it.
class ServingPool final : public httplib::TaskQueue {
public:
  ServingPool(std::size_t kept, std::size_t most, std::chrono::milliseconds idleLife);
  ~ServingPool() override;
  ServingPool(const ServingPool&) = delete;
  ServingPool& operator=(const ServingPool&) = delete;

  EnqueueResult enqueue(std::function<void()> job) override;
  void shutdown() override;

  std::size_t threads() const; // running now, the kept ones included

private:
  using Threads = std::list<std::thread>;
  void work(Threads::iterator self);
  // One more thread, unless the system has none to give: then the queue waits for the others.
  // With lock_ held.
  void spawn();

  const std::size_t kept_, most_;
  const std::chrono::milliseconds idleLife_;
  mutable std::mutex lock_; // guards everything below
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  Threads threads_;
  std::vector<std::thread> retired_; // left after idleLife_; joined by the next enqueue or shutdown
  std::size_t idle_ = 0;             // threads waiting for a job
  bool shuttingDown_ = false;
};

} // namespace vantrel::hostsim
