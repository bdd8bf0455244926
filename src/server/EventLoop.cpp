#include "server/EventLoop.h"

#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <condition_variable>
#include <exception>
#include <limits>
#include <mutex>
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
  std::atomic<int> busy{0};  // tool calls started here that have not ended
  std::atomic<int> heavy{0}; // heavy work moved here (a long line on its way) not yet done
};

// The context the calling thread is running, if any.
thread_local Context* tCurrent = nullptr;
// Where spawnHere() starts tasks instead, while work moved off the caller's context runs.
thread_local Context* tHome = nullptr;

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

} // namespace

struct EventLoop::Impl {
  std::vector<std::unique_ptr<Context>> contexts; // [0] is the caller's
  std::vector<pthread_t> threads;
  std::atomic<int> keepers{0}; // KeepRunning guards alive

  static void* runThread(void* context) {
    runAs(*static_cast<Context*>(context), [](asio::io_context& io) { io.run(); });
    return nullptr;
  }

  // The least busy context but the caller's, or nullptr when there is none. Unless `evenHeavy`,
  // one running heavy work is passed over: a call there would wait for a long write to end.
  Context* leastBusyOther(bool evenHeavy) {
    Context* best = nullptr;
    int bestBusy = std::numeric_limits<int>::max();
    for (std::size_t i = 1; i < contexts.size(); ++i) {
      if (!evenHeavy && contexts[i]->heavy.load(std::memory_order_relaxed) > 0)
        continue;
      int busy = contexts[i]->busy.load(std::memory_order_relaxed);
      if (busy < bestBusy) {
        best = contexts[i].get();
        bestBusy = busy;
      }
    }
    return best;
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

asio::io_context& EventLoop::callerContext() {
  return impl_->contexts[0]->io;
}

EventLoop::KeepRunning::KeepRunning(EventLoop& loop) : loop_(&loop) {
  loop_->impl_->keepers.fetch_add(1);
}

EventLoop::KeepRunning::~KeepRunning() {
  if (loop_ && loop_->impl_->keepers.fetch_sub(1) == 1)
    loop_->wakeCaller();
}

void EventLoop::wakeCaller() {
  try {
    asio::post(impl_->contexts[0]->io, [] {}); // run_one() returns: the end is looked at again
  } catch (const std::exception&) {
    // No memory to wake it: the next handler there looks again.
  }
}

void EventLoop::spawnCall(asio::awaitable<void> task, bool moreInput) {
  Context* context = impl_->contexts[0].get();
  // With every other context writing a long line, the call starts here after all: its start runs
  // inline up to its first wait, far shorter than the write it would wait behind.
  if (moreInput || context->busy.load(std::memory_order_relaxed) > 0) {
    if (Context* other = impl_->leastBusyOther(false))
      context = other;
  }
  context->busy.fetch_add(1, std::memory_order_relaxed);
  try {
    // On the caller's context from its own thread, this runs the task inline up to its first
    // wait: cheap, since that context had nothing else to do and no more input waits.
    asio::co_spawn(context->io, std::move(task), [context](const std::exception_ptr&) {
      context->busy.fetch_sub(1, std::memory_order_relaxed);
    });
  } catch (...) {
    context->busy.fetch_sub(1, std::memory_order_relaxed);
    throw;
  }
}

void EventLoop::spawnHere(asio::awaitable<void> task) {
  Context* context = tHome != nullptr ? tHome : tCurrent;
  if (context == nullptr || context->owner != impl_.get())
    context = impl_->contexts[0].get();
  // Posted, not started at once (co_spawn runs a task inline as far as its first wait when it is
  // already on its context): whoever spawns goes on first.
  asio::post(context->io, [&io = context->io, task = std::move(task)]() mutable {
    asio::co_spawn(io, std::move(task), [](const std::exception_ptr&) {});
  });
}

bool EventLoop::mayRunAway() const {
  // Only the reading thread's context is kept light; work elsewhere stays where it is.
  return tCurrent == impl_->contexts[0].get() && impl_->contexts.size() > 1;
}

void EventLoop::postAway(std::function<void()> work) {
  Context* away = impl_->leastBusyOther(false);
  if (away == nullptr)
    away = impl_->leastBusyOther(true); // all writing: behind one of them, never on the reader
  // Counted until it has run, so that calls and other heavy work go elsewhere meanwhile.
  struct Running {
    Context* context;
    Context* home;
    Context* outer = std::exchange(tHome, home);
    ~Running() {
      tHome = outer;
      context->heavy.fetch_sub(1, std::memory_order_relaxed);
    }
  };
  away->heavy.fetch_add(1, std::memory_order_relaxed);
  try {
    asio::post(away->io, [away, home = impl_->contexts[0].get(), work = std::move(work)] {
      Running running{away, home};
      work();
    });
  } catch (...) {
    away->heavy.fetch_sub(1, std::memory_order_relaxed);
    throw;
  }
}

void EventLoop::runUntilDrained(TaskGroup& pending) {
  Context& caller = *impl_->contexts[0];
  auto finished = [&] { return impl_->keepers.load() == 0 && pending.empty(); };
  pending.onEmpty([this] {
    if (impl_->keepers.load() == 0)
      wakeCaller();
  });
  {
    // Waits for a handler even with nothing to do there: calls may still end elsewhere.
    auto idle = asio::make_work_guard(caller.io);
    caller.io.restart();
    runAs(caller, [&](asio::io_context& io) {
      while (!finished())
        io.run_one();
    });
  }
  pending.onEmpty(nullptr);
  // Each other context runs what is ready before it comes to the marker posted now; the caller's
  // is run here. The marker posts itself once more from its context's own thread: what a handler
  // there posted just before it let the call go (its report) joins that queue only once the
  // handler has ended, behind a marker posted from here meanwhile. Bounded, as a context that
  // blocks (a host that stopped reading) must not keep the process.
  struct Settled {
    std::mutex lock; // guards count only
    std::condition_variable done;
    std::size_t count = 0;
  };
  auto settled = std::make_shared<Settled>();
  std::size_t markers = 0;
  for (std::size_t i = 1; i < impl_->contexts.size(); ++i) {
    try {
      auto& io = impl_->contexts[i]->io;
      asio::post(io, [settled, &io] {
        asio::post(io, [settled] {
          std::lock_guard lock(settled->lock);
          ++settled->count;
          settled->done.notify_all();
        });
      });
      ++markers;
    } catch (const std::exception&) {
    }
  }
  runAs(caller, [](asio::io_context& io) { io.poll(); });
  std::unique_lock lock(settled->lock);
  settled->done.wait_for(lock, std::chrono::seconds(1), [&] { return settled->count == markers; });
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
