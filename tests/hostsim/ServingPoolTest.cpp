// Labels: concurrency
#include "hostsim/ServingPool.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace vantrel::hostsim {
namespace {

using namespace std::chrono_literals;

// A count that jobs raise and anyone may wait on, for at most a bound.
class Count {
public:
  void raise() {
    std::lock_guard lock(lock_);
    ++value_;
    changed_.notify_all();
  }
  [[nodiscard]] bool waitFor(std::size_t target, std::chrono::milliseconds bound) {
    std::unique_lock lock(lock_);
    return changed_.wait_for(lock, bound, [&] { return value_ >= target; });
  }
  std::size_t value() {
    std::lock_guard lock(lock_);
    return value_;
  }

private:
  std::mutex lock_; // guards value_
  std::condition_variable changed_;
  std::size_t value_ = 0;
};

// Each job holds its thread until the whole burst is running, as kept-alive connections hold
// theirs: the burst ends only if the pool serves every job of it side by side.
TEST(ServingPoolTest, EachBurstIsServedSideBySideBeyondTheKeptThreads) {
  constexpr std::size_t kBurst = 40;
  std::array<Count, 3> runningIn, doneIn;
  // Threads added for one burst leave between bursts: the next one must get them again.
  ServingPool pool(2, 64, 1ms);
  for (std::size_t round = 0; round < runningIn.size(); ++round) {
    Count &running = runningIn[round], &done = doneIn[round];
    for (std::size_t i = 0; i < kBurst; ++i)
      pool.enqueue([&] {
        running.raise();
        if (running.waitFor(kBurst, 15s))
          done.raise();
      });
    EXPECT_TRUE(running.waitFor(kBurst, 15s)) << "round " << round << ": " << running.value();
    EXPECT_TRUE(done.waitFor(kBurst, 15s)) << "round " << round;
  }
}

TEST(ServingPoolTest, PastTheMostJobsQueueAndAreAllServedByShutdown) {
  std::mutex gateLock;
  std::condition_variable gateOpened;
  bool open = false;
  Count started;
  ServingPool pool(1, 4, 10s); // after what its jobs use, so it is joined before they go
  for (int i = 0; i < 10; ++i)
    pool.enqueue([&] {
      started.raise();
      std::unique_lock lock(gateLock);
      ASSERT_TRUE(gateOpened.wait_for(lock, 15s, [&] { return open; }));
    });
  ASSERT_TRUE(started.waitFor(4, 15s));
  EXPECT_EQ(pool.threads(), 4u) << "threads are added in enqueue, never past the most";
  {
    std::lock_guard lock(gateLock);
    open = true;
  }
  gateOpened.notify_all();
  pool.shutdown();
  EXPECT_EQ(started.value(), 10u);
  EXPECT_EQ(pool.threads(), 0u);
}

} // namespace
} // namespace vantrel::hostsim
