#pragma once

#include "server/TaskGroup.h"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <cstddef>
#include <functional>
#include <memory>
#include <utility>

namespace vantrel::server {

// The loop that runs every tool call and usage report: a few single-threaded contexts. The first,
// the caller's, is run by the thread that calls runUntilDrained() (the server's reading thread,
// which reads its input there); each other by a thread of its own, started here, so that no
// loop thread is created while calls are served.
//
// The reading thread never waits for a tool. A lone call stays on the caller's context, read,
// sent to the Bridge and answered on one thread without a hand-off, only while that is cheap: it
// starts there only when that context has nothing else to do and no more input waits, and its
// heavy end (a reply of megabytes: its scan, its long write) moves to another context.
//
// Threading contract of what runs on it:
// - A task and everything it awaits run on the one thread of its context: no strands needed, and
//   nothing of a task is touched by two threads at once.
// - A loop thread may block only on what is listed here: writing a response line to standard
//   output (an agent host that stops reading stalls that thread until it reads again), and reading
//   bridge.token and agent-guide.md. Anything new that blocks gets written here first.
// - Handlers must not throw; one that does (memory running out inside Asio) is dropped and the
//   context goes on, so that it fails no more than its own task.
// - What a task refers to must outlive the loop's contexts, which destroy the tasks still pending.
class EventLoop {
public:
  // The caller's context, and `threads` more, each run by a thread started now with a stack of
  // `stackSize` bytes. A process limit may refuse threads; the loop then has fewer contexts, down
  // to the caller's alone, which serves everything.
  EventLoop(std::size_t threads, std::size_t stackSize);
  // Stops and joins the threads, then destroys the contexts and the tasks still pending.
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Threads the loop got (the caller's not counted).
  std::size_t threads() const;

  // The caller's context, for what the reading thread waits on there.
  boost::asio::io_context& callerContext();
  // Keeps runUntilDrained() going for as long as it lives: the input, until it ends. Movable.
  class KeepRunning {
  public:
    explicit KeepRunning(EventLoop& loop);
    KeepRunning(KeepRunning&& other) noexcept : loop_(std::exchange(other.loop_, nullptr)) {}
    KeepRunning& operator=(KeepRunning&&) = delete;
    ~KeepRunning();

  private:
    EventLoop* loop_;
  };
  KeepRunning keepRunning() { return KeepRunning(*this); }

  // Starts a tool call and returns at once: on the caller's context when it has nothing else to
  // do and `moreInput` is false (more input waiting means the reading thread is not done), else
  // on the least busy other context that is not writing a long line (the caller's, when every
  // other one is). Exceptions escaping the task are dropped: tasks catch their own. Any thread.
  void spawnCall(boost::asio::awaitable<void> task, bool moreInput);
  // Starts `task` on the calling loop thread's own context (the caller's context from any other
  // thread), for work that belongs beside the task that starts it, such as its usage report. It
  // starts once the handler that spawns it has ended.
  void spawnHere(boost::asio::awaitable<void> task);
  // Runs `work` now, on this thread, unless it is `heavy`, this is the caller's context and
  // another exists: then on another, as postAway() chooses (the reading thread must not write a
  // long line or scan a large reply). `work` is posted by value; it runs exactly once unless the
  // loop is destroyed first. What it spawns with spawnHere() still goes to the caller's context,
  // where the call's kept connection is.
  template <typename Work> void runAwayIfHeavy(bool heavy, Work work);

  // How a session ends, the only way it does: runs the caller's context on this thread until no
  // KeepRunning lives (the input has ended) and `pending` is empty (every started call has
  // answered, wherever it ran), then runs once whatever is ready on every context, so that what
  // the last answers posted (their usage reports) sets out. Whatever that then waits for is
  // dropped with the process. Once per loop.
  void runUntilDrained(TaskGroup& pending);

  // Stops the threads and waits for them; pending tasks stay, unrun, until destruction.
  void stop();

private:
  struct Impl;
  void wakeCaller();
  // Whether heavy work would run away: on the caller's context, with another to go to.
  bool mayRunAway() const;
  // Posts `work` to the least busy other context not already running heavy work (else to the
  // least busy other), counted there as heavy until it has run.
  void postAway(std::function<void()> work);
  std::unique_ptr<Impl> impl_;
};

template <typename Work> void EventLoop::runAwayIfHeavy(bool heavy, Work work) {
  if (!heavy || !mayRunAway()) {
    work();
    return;
  }
  // Held shared, so that a hand-over that fails for lack of memory leaves the work to run here:
  // late is better than never.
  std::shared_ptr<Work> held;
  try {
    held = std::make_shared<Work>(std::move(work));
  } catch (const std::exception&) {
    work();
    return;
  }
  try {
    postAway([held] { (*held)(); });
  } catch (const std::exception&) {
    (*held)();
  }
}

} // namespace vantrel::server
