#pragma once

#include <boost/asio/awaitable.hpp>
#include <cstddef>
#include <functional>
#include <memory>

namespace vantrel::server {

// The loop that runs every tool call and usage report: one io_context driven by a small fixed
// set of threads, all started here, so that no thread is ever created while calls are served.
// Each task runs on a strand of its own, so one call's heavy work (a reply of tens of MB) never
// holds up another while a thread is free.
class EventLoop {
public:
  // Starts up to `threads` threads with stacks of `stackSize` bytes. Under a process limit it
  // may get fewer, even none; the loop then runs only inside runHereUntil().
  EventLoop(std::size_t threads, std::size_t stackSize);
  // Stops and joins the threads, then destroys the tasks still pending.
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  std::size_t threads() const;

  // Starts `task` on a strand of its own and returns at once. An exception escaping the task is
  // dropped: tasks catch their own. Any thread.
  void spawn(boost::asio::awaitable<void> task);

  // Runs the loop's work on the calling thread until `done()` holds. For a loop without threads.
  void runHereUntil(const std::function<bool()>& done);

  // Stops the threads and waits for them; pending tasks stay, unrun, until destruction.
  void stop();

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

} // namespace vantrel::server
