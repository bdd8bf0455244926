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

// --check runs its probe on a loop without threads: a probe that ends without its result must
// not leave it waiting forever.
TEST(EventLoopTest, RunHereReturnsWhenTheWorkRunsOut) {
  EventLoop loop(0, kStack);
  bool ran = false;
  loop.spawn([&ran]() -> asio::awaitable<void> {
    ran = true;
    co_return;
  }());
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
  loop.spawn([&]() -> asio::awaitable<void> {
    first = std::this_thread::get_id();
    asio::steady_timer timer(co_await asio::this_coro::executor);
    while (!released) { // busy with the Bridge, as it were
      timer.expires_after(1ms);
      co_await timer.async_wait(asio::use_awaitable);
    }
  }());
  loop.spawn([&]() -> asio::awaitable<void> {
    second = std::this_thread::get_id();
    secondDone = true;
    co_return;
  }());
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
  auto throwThenFinish = [&]() -> asio::awaitable<void> {
    auto executor = co_await asio::this_coro::executor;
    asio::post(executor, [] { throw std::bad_alloc(); });
    co_await asio::post(executor, asio::use_awaitable);
    co_await asio::post(executor, asio::use_awaitable);
    ++finished;
  };
  std::atomic<bool> release{false};
  // The first occupies the caller's context, so the second goes to the loop thread.
  loop.spawn([&]() -> asio::awaitable<void> {
    co_await throwThenFinish();
    asio::steady_timer timer(co_await asio::this_coro::executor);
    while (!release) {
      timer.expires_after(1ms);
      co_await timer.async_wait(asio::use_awaitable);
    }
  }());
  loop.spawn(throwThenFinish());
  loop.runHereUntil([&] {
    release = finished == 2;
    return false;
  });
  EXPECT_EQ(finished, 2);
}

} // namespace
} // namespace vantrel::server
