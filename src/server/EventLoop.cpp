#include "server/EventLoop.h"

#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <exception>
#include <limits>
#include <optional>
#include <pthread.h>
#include <vector>

namespace vantrel::server {

namespace asio = boost::asio;

namespace {

struct Context {
  explicit Context(const void* loop) : owner(loop) {}

  const void* owner;      // the loop it belongs to: a thread may meet several loops in tests
  asio::io_context io{1}; // one thread runs it: Asio can spare itself some locking
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> keepRunning;
  std::atomic<int> busy{0};
};

// The context the calling thread is running, if any.
thread_local Context* tCurrent = nullptr;

// Runs `context` on this thread the way `runs` does (run, poll, ...), and again after a handler
// throws: such a handler is dropped, not allowed to end the thread and with it the process.
template <typename Runs> void runAs(Context& context, Runs runs) {
  Context* outer = std::exchange(tCurrent, &context);
  for (;;) {
    try {
      runs(context.io);
      break;
    } catch (...) {
    }
  }
  tCurrent = outer;
}

// Until it is stopped or, without a work guard, out of work.
void runContext(Context& context) {
  runAs(context, [](asio::io_context& io) { io.run(); });
}

} // namespace

struct EventLoop::Impl {
  std::vector<std::unique_ptr<Context>> contexts; // [0] is the caller's
  std::vector<pthread_t> threads;
  std::atomic<bool> keepCallerFree{false};

  static void* runThread(void* context) {
    runContext(*static_cast<Context*>(context));
    return nullptr;
  }

  // The caller's context when it is idle: a call then never changes threads. Otherwise the least
  // busy, counting the caller's as one busier, since its thread also reads the input.
  Context& leastBusy() {
    Context* best = contexts[0].get();
    int bestBusy = best->busy.load(std::memory_order_relaxed);
    if (keepCallerFree.load(std::memory_order_relaxed) && contexts.size() > 1)
      bestBusy = std::numeric_limits<int>::max();
    if (bestBusy == 0)
      return *best;
    if (bestBusy < std::numeric_limits<int>::max())
      ++bestBusy;
    for (std::size_t i = 1; i < contexts.size(); ++i) {
      int busy = contexts[i]->busy.load(std::memory_order_relaxed);
      if (busy < bestBusy) {
        best = contexts[i].get();
        bestBusy = busy;
      }
    }
    return *best;
  }
};

EventLoop::EventLoop(std::size_t threads, std::size_t stackSize) : impl_(std::make_unique<Impl>()) {
  impl_->contexts.push_back(std::make_unique<Context>(impl_.get()));
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, stackSize);
  for (std::size_t i = 0; i < threads; ++i) {
    auto context = std::make_unique<Context>(impl_.get());
    context->keepRunning.emplace(asio::make_work_guard(context->io));
    pthread_t thread;
    // A process limit may refuse threads: run with the ones we got, down to none.
    if (pthread_create(&thread, &attr, &Impl::runThread, context.get()) != 0)
      break;
    impl_->threads.push_back(thread);
    impl_->contexts.push_back(std::move(context));
  }
  pthread_attr_destroy(&attr);
}

EventLoop::~EventLoop() {
  stop();
}

std::size_t EventLoop::threads() const {
  return impl_->threads.size();
}

void EventLoop::spawn(asio::awaitable<void> task) {
  Context& context = impl_->leastBusy();
  context.busy.fetch_add(1, std::memory_order_relaxed);
  try {
    asio::co_spawn(context.io, std::move(task), [&context](const std::exception_ptr&) {
      context.busy.fetch_sub(1, std::memory_order_relaxed);
    });
  } catch (...) {
    context.busy.fetch_sub(1, std::memory_order_relaxed);
    throw;
  }
}

void EventLoop::spawnHere(asio::awaitable<void> task) {
  Context* context = tCurrent;
  if (context == nullptr || context->owner != impl_.get())
    context = impl_->contexts[0].get();
  // Posted, not started at once (co_spawn runs a task inline as far as its first wait when it is
  // already on its context): whoever spawns goes on first, so a call's answer is written before
  // its usage report reads bridge.token and sends.
  asio::post(context->io, [&io = context->io, task = std::move(task)]() mutable {
    asio::co_spawn(io, std::move(task), [](const std::exception_ptr&) {});
  });
}

void EventLoop::keepCallerFree(bool keep) {
  impl_->keepCallerFree.store(keep, std::memory_order_relaxed);
}

void EventLoop::run() {
  Context& caller = *impl_->contexts[0];
  caller.io.restart();
  runContext(caller);
}

void EventLoop::stopRunning() {
  impl_->contexts[0]->io.stop();
}

void EventLoop::runReady() {
  Context& caller = *impl_->contexts[0];
  caller.io.restart();
  runAs(caller, [](asio::io_context& io) { io.poll(); });
}

void EventLoop::runHereUntil(const std::function<bool()>& done) {
  Context& caller = *impl_->contexts[0];
  caller.io.restart();
  runAs(caller, [&done](asio::io_context& io) {
    while (!done() && io.run_one() > 0) {
    }
  });
}

void EventLoop::stop() {
  for (auto& context : impl_->contexts) {
    context->keepRunning.reset();
    context->io.stop();
  }
  for (pthread_t thread : impl_->threads)
    pthread_join(thread, nullptr);
  impl_->threads.clear();
}

} // namespace vantrel::server
