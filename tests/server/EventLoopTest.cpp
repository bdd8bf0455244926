// Labels: concurrency
#include "server/EventLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <new>
#include <optional>
#include <thread>

namespace vantrel::server {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;

constexpr std::size_t kStack = 1 << 20;

// The tasks below take what they touch as parameters: a coroutine made by calling a lambda at
// once would keep the lambda's captures, which die with the full expression, long before the
// loop runs the task.

asio::awaitable<void> setFlag(std::atomic<bool>& flag, std::shared_ptr<TaskGroup> group) {
  flag = true;
  group->leave();
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

// A task that notes where it ran and leaves the group it was counted in.
asio::awaitable<void> noteAndLeave(std::thread::id& ranOn, std::shared_ptr<TaskGroup> group) {
  ranOn = std::this_thread::get_id();
  group->leave();
  co_return;
}

// Holds the caller's context busy until released, as a call waiting for the Bridge does.
asio::awaitable<void> holdAndLeave(std::atomic<bool>& released, std::shared_ptr<TaskGroup> group) {
  std::thread::id ignored;
  co_await holdUntil(released, ignored);
  group->leave();
}

// From a task on the caller's context: work that is heavy leaves it, light work stays.
asio::awaitable<void> finishFromCaller(EventLoop& loop, bool heavy, std::thread::id& ranOn,
                                       std::shared_ptr<TaskGroup> group) {
  loop.runAwayIfHeavy(heavy, [&ranOn, group] {
    ranOn = std::this_thread::get_id();
    group->leave();
  });
  co_return;
}

// The end of a session: while the input is open the loop runs on, even with nothing to do; once
// it has ended, the last call's answer ends it, whatever else (a report the Bridge never
// answers) still waits.
TEST(EventLoopTest, RunUntilDrainedEndsWithTheInputAndTheLastCallNotTheLastTask) {
  EventLoop loop(1, kStack);
  auto group = std::make_shared<TaskGroup>();
  std::optional<EventLoop::KeepRunning> input(loop.keepRunning());
  std::atomic<bool> never{false}, ran{false};
  std::thread::id ignored;
  loop.spawnHere(holdUntil(never, ignored)); // a report, as it were
  group->enter();
  std::thread ender([&] {
    while (!ran)
      std::this_thread::sleep_for(1ms);
    input.reset(); // from another thread, as a reader thread's end arrives
  });
  loop.spawnCall(setFlag(ran, group), true);
  loop.runUntilDrained(*group);
  ender.join();
  EXPECT_TRUE(ran);
}

// A lone call runs where it was read; one that arrives while that context is busy, or while
// more input waits to be read, goes to a loop thread: the reading thread reads on.
TEST(EventLoopTest, ACallStaysWithTheReaderOnlyWhenItIsIdleAndNoMoreInputWaits) {
  const struct {
    bool callerBusy, moreInput, staysWithReader;
  } cases[] = {{false, false, true}, {false, true, false}, {true, false, false}};
  for (const auto& c : cases) {
    EventLoop loop(1, kStack);
    ASSERT_EQ(loop.threads(), 1u);
    auto group = std::make_shared<TaskGroup>();
    std::atomic<bool> released{false};
    if (c.callerBusy) {
      group->enter();
      loop.spawnCall(holdAndLeave(released, group), false);
    }
    std::thread::id ranOn;
    group->enter();
    loop.spawnCall(noteAndLeave(ranOn, group), c.moreInput);
    released = true;
    loop.runUntilDrained(*group);
    EXPECT_EQ(ranOn == std::this_thread::get_id(), c.staysWithReader)
        << "busy " << c.callerBusy << ", more input " << c.moreInput;
  }
}

// A call's heavy end (a long line, a large reply's scan) leaves the reading thread's context;
// a light one, and anything on the other contexts, runs where it is.
TEST(EventLoopTest, HeavyWorkLeavesTheReaderLightWorkStays) {
  for (bool heavy : {true, false}) {
    EventLoop loop(1, kStack);
    auto group = std::make_shared<TaskGroup>();
    std::thread::id ranOn;
    group->enter();
    loop.spawnCall(finishFromCaller(loop, heavy, ranOn, group), false);
    loop.runUntilDrained(*group);
    EXPECT_EQ(ranOn == std::this_thread::get_id(), !heavy) << "heavy " << heavy;
  }
  EventLoop alone(0, kStack);
  auto group = std::make_shared<TaskGroup>();
  std::thread::id ranOn;
  group->enter();
  alone.spawnCall(finishFromCaller(alone, true, ranOn, group), false);
  alone.runUntilDrained(*group);
  EXPECT_EQ(ranOn, std::this_thread::get_id()) << "with no other context it runs here";
}

// From a task on the caller's context: heavy work that blocks (a long line to a host that has
// stopped reading) until released.
asio::awaitable<void> blockAway(EventLoop& loop, std::atomic<bool>& released,
                                std::atomic<bool>& blocking, std::thread::id& ranOn,
                                std::shared_ptr<TaskGroup> group) {
  loop.runAwayIfHeavy(true, [&, group] {
    ranOn = std::this_thread::get_id();
    blocking = true;
    while (!released)
      std::this_thread::sleep_for(1ms);
    group->leave();
  });
  co_return;
}

// While a context writes a long line, calls and other heavy work go elsewhere: to another loop
// thread when there is one, else a call starts on the reading thread's context rather than wait
// behind the write.
TEST(EventLoopTest, NothingWaitsBehindHeavyWorkWhereItNeedNot) {
  for (std::size_t threads : {1u, 2u}) {
    SCOPED_TRACE(std::to_string(threads) + " loop threads");
    EventLoop loop(threads, kStack);
    ASSERT_EQ(loop.threads(), threads);
    auto group = std::make_shared<TaskGroup>();
    std::atomic<bool> released{false}, blocking{false};
    std::thread::id blockedOn, callOn, heavyOn;
    group->enter();
    loop.spawnCall(blockAway(loop, released, blocking, blockedOn, group), false);
    std::thread releaser([&] {
      while (!blocking)
        std::this_thread::sleep_for(1ms);
      std::this_thread::sleep_for(50ms); // the call and the second heavy work ran meanwhile
      released = true;
    });
    // Spawned once the work is away and blocking; from the reading thread's context.
    group->enter();
    asio::post(loop.callerContext(), [&] {
      while (!blocking)
        std::this_thread::sleep_for(1ms);
      loop.spawnCall(noteAndLeave(callOn, group), /*moreInput=*/true);
      group->enter();
      loop.spawnCall(finishFromCaller(loop, true, heavyOn, group), false);
    });
    loop.runUntilDrained(*group);
    releaser.join();
    EXPECT_NE(callOn, blockedOn) << "the call waited behind the write";
    if (threads == 1) {
      EXPECT_EQ(callOn, std::this_thread::get_id()) << "it starts on the reader's context";
      EXPECT_EQ(heavyOn, blockedOn) << "heavy work never runs on the reader's context";
    } else {
      EXPECT_NE(heavyOn, blockedOn);
      EXPECT_NE(heavyOn, std::this_thread::get_id());
    }
  }
}

// Memory running out inside a handler ends that handler, not the thread and with it the process.
TEST(EventLoopTest, AThrowingHandlerNeitherEndsTheLoopNorItsThread) {
  EventLoop loop(1, kStack);
  std::atomic<int> finished{0};
  std::atomic<bool> release{false};
  // The first occupies the caller's context, so the second goes to the loop thread.
  std::optional<EventLoop::KeepRunning> open(loop.keepRunning());
  loop.spawnCall(throwThenHold(finished, release), false);
  loop.spawnCall(throwThenFinish(finished), false);
  std::thread releaser([&] {
    while (finished < 2)
      std::this_thread::sleep_for(1ms);
    release = true;
    open.reset();
  });
  TaskGroup none;
  loop.runUntilDrained(none);
  releaser.join();
  EXPECT_EQ(finished, 2);
}

} // namespace
} // namespace vantrel::server
