#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <cstddef>
#include <functional>
#include <memory>

namespace vantrel::server {

// The loop that runs every tool call and usage report: a few single-threaded contexts. The first
// is run by the thread that calls run() (the server's reading thread, which reads its input on
// it); each other by a thread of its own, started here, so that no thread is ever created while
// calls are served. A call goes to the least busy context, the first one whenever it is idle, so
// that a lone call is read, sent to the Bridge and answered on one thread without a hand-off,
// while one call's heavy work (a reply of tens of MB) never holds up the others.
//
// Threading contract of what runs on it:
// - A task and everything it awaits run on the one thread of its context: no strands needed, and
//   nothing of a task is touched by two threads at once.
// - A loop thread may block only on what is listed here: writing a response line to standard
//   output (an agent host that stops reading stalls the loop until it reads again), and reading
//   bridge.token and agent-guide.md. Anything new that blocks gets written here first.
// - Handlers must not throw; one that does (memory running out inside Asio) is dropped and the
//   context goes on, so that it fails no more than its own task.
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

  // Starts `task` on the least busy context (busy: tasks started here that have not ended) and
  // returns at once. Exceptions escaping the task are dropped: tasks catch their own. Any thread.
  void spawn(boost::asio::awaitable<void> task);
  // Starts `task` on the calling loop thread's own context (the caller's context from any other
  // thread), for work that belongs beside the task that starts it, such as its usage report. It
  // starts once the handler that spawns it has ended.
  void spawnHere(boost::asio::awaitable<void> task);

  // While true, calls go to the caller's context only when there is no other: its thread is
  // about to block on reads (a terminal). Any thread.
  void keepCallerFree(bool keep);

  // Runs the caller's context on this thread until stopRunning() or until it has no work left.
  void run();
  // Makes run() return as soon as the handler it is in (if any) ends. Any thread.
  void stopRunning();
  // Runs, on this thread, what is ready on the caller's context without waiting for anything:
  // after run(), so that tasks posted last (usage reports) at least set out.
  void runReady();
  // Runs the caller's context on this thread until `done()` holds or no work is left.
  void runHereUntil(const std::function<bool()>& done);

  // Stops the threads and waits for them; pending tasks stay, unrun, until destruction.
  void stop();

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

} // namespace vantrel::server
