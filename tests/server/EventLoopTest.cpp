// Labels: concurrency
#include "server/EventLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <new>
#include <thread>

namespace vantrel::server {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;

constexpr std::size_t kStack = 1 << 20;

// The tasks below take what they touch as parameters: a coroutine made by calling a lambda at
// once would keep the lambda's captures, which die with the full expression, long before the
// loop runs the task.

asio::awaitable<void> setFlag(std::atomic<bool>& flag) {
  flag = true;
  co_return;
}

// Busy with the Bridge, as it were, until released.
asio::awaitable<void> holdUntil(std::atomic<bool>& released, std::thread::id& ranOn) {
  ranOn = std::this_thread::get_id();
  asio::steady_timer timer(co_await asio::this_coro::executor);
  while (!released) {
    timer.expires_after(1ms);
    co_await timer.async_wait(asio::use_awaitable);
  }
}

asio::awaitable<void> noteThread(std::thread::id& ranOn, std::atomic<bool>& done) {
  ranOn = std::this_thread::get_id();
  done = true;
  co_return;
}

// Makes a handler throw on this task's context, then goes on.
asio::awaitable<void> throwThenFinish(std::atomic<int>& finished) {
  auto executor = co_await asio::this_coro::executor;
  asio::post(executor, [] { throw std::bad_alloc(); });
  co_await asio::post(executor, asio::use_awaitable);
  co_await asio::post(executor, asio::use_awaitable);
  ++finished;
}

asio::awaitable<void> throwThenHold(std::atomic<int>& finished, std::atomic<bool>& released) {
  co_await throwThenFinish(finished);
  std::thread::id ignored;
  co_await holdUntil(released, ignored);
}

// --check runs its probe on a loop without threads: a probe that ends without its result must
// not leave it waiting forever.
TEST(EventLoopTest, RunHereReturnsWhenTheWorkRunsOut) {
  EventLoop loop(0, kStack);
  std::atomic<bool> ran{false};
  loop.spawn(setFlag(ran));
  loop.runHereUntil([] { return false; });
  EXPECT_TRUE(ran);
}

// A lone call runs where it was read; one that arrives while that context is busy goes to a loop
// thread, so a slow call never holds up the next.
TEST(EventLoopTest, IdleCallerTakesTheCallBusyCallerHandsItOn) {
  EventLoop loop(1, kStack);
  ASSERT_EQ(loop.threads(), 1u);
  std::atomic<bool> released{false};
  std::thread::id first, second;
  std::atomic<bool> secondDone{false};
  loop.spawn(holdUntil(released, first));
  loop.spawn(noteThread(second, secondDone));
  loop.runHereUntil([&] {
    if (secondDone)
      released = true;
    return secondDone && first != std::thread::id();
  });
  loop.runHereUntil([] { return false; });
  EXPECT_EQ(first, std::this_thread::get_id());
  EXPECT_NE(second, std::this_thread::get_id());
}

// Memory running out inside a handler ends that handler, not the thread and with it the process.
TEST(EventLoopTest, AThrowingHandlerNeitherEndsTheLoopNorItsThread) {
  EventLoop loop(1, kStack);
  std::atomic<int> finished{0};
  std::atomic<bool> release{false};
  // The first occupies the caller's context, so the second goes to the loop thread.
  loop.spawn(throwThenHold(finished, release));
  loop.spawn(throwThenFinish(finished));
  loop.runHereUntil([&] {
    release = finished == 2;
    return false;
  });
  EXPECT_EQ(finished, 2);
}

} // namespace
} // namespace vantrel::server
