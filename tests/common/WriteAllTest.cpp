// Labels: concurrency
#include "common/WriteAll.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace vantrel {
namespace {

using namespace std::chrono_literals;

// A line far larger than a pipe holds goes into a non-blocking pipe nobody reads yet, while
// signals keep interrupting the wait: it must still arrive whole. Giving up on an interrupted
// wait left half a response line for the next one to run into.
TEST(WriteAllTest, InterruptedWaitsForAFullPipeNeverCutALine) {
  struct sigaction interrupt {
  }, previous{};
  interrupt.sa_handler = [](int) {}; // and no SA_RESTART: each signal interrupts the wait
  ASSERT_EQ(::sigaction(SIGUSR1, &interrupt, &previous), 0);
  int pipe[2];
  ASSERT_EQ(::pipe(pipe), 0);
  ::fcntl(pipe[1], F_SETFL, ::fcntl(pipe[1], F_GETFL) | O_NONBLOCK);

  const std::string line(1 << 20, 'x');
  bool written = false;
  std::thread writer([&] {
    written = writeAll(pipe[1], line);
    ::close(pipe[1]);
  });
  for (int i = 0; i < 50; ++i) {
    std::this_thread::sleep_for(2ms);
    ::pthread_kill(writer.native_handle(), SIGUSR1);
  }
  std::string received;
  char chunk[65536];
  for (ssize_t n; (n = ::read(pipe[0], chunk, sizeof chunk)) != 0;) {
    if (n > 0)
      received.append(chunk, static_cast<std::size_t>(n));
  }
  writer.join();
  ::close(pipe[0]);
  ::sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_TRUE(written);
  EXPECT_EQ(received.size(), line.size());
}

} // namespace
} // namespace vantrel
