#include "server/EventLoop.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/strand.hpp>
#include <optional>
#include <pthread.h>
#include <vector>

namespace vantrel::server {

namespace asio = boost::asio;

struct EventLoop::Impl {
  asio::io_context io;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> keepRunning{
      asio::make_work_guard(io)};
  std::vector<pthread_t> threads;

  static void* runThread(void* self) {
    static_cast<Impl*>(self)->io.run();
    return nullptr;
  }
};

EventLoop::EventLoop(std::size_t threads, std::size_t stackSize) : impl_(std::make_unique<Impl>()) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, stackSize);
  for (std::size_t i = 0; i < threads; ++i) {
    pthread_t thread;
    // A process limit may refuse threads: run with the ones we got, down to none.
    if (pthread_create(&thread, &attr, &Impl::runThread, impl_.get()) != 0)
      break;
    impl_->threads.push_back(thread);
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
  asio::co_spawn(asio::make_strand(impl_->io), std::move(task), asio::detached);
}

void EventLoop::runHereUntil(const std::function<bool()>& done) {
  while (!done() && impl_->io.run_one() > 0) {
  }
}

void EventLoop::stop() {
  impl_->keepRunning.reset();
  impl_->io.stop();
  for (pthread_t thread : impl_->threads)
    pthread_join(thread, nullptr);
  impl_->threads.clear();
}

} // namespace vantrel::server
