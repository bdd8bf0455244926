// Labels: concurrency
#include "common/WaitReady.h"

#include "common/WriteAll.h"
#include "driver/Descriptors.h"
#include "server/Input.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace vantrel {
namespace {

using namespace std::chrono_literals;

TEST(WaitReadyTest, DevicesOnMacOSAreWaitedOnWithSelect) {
  const struct {
    Platform platform;
    mode_t mode;
    int fd;
    WaitMethod method;
  } cases[] = {
      {Platform::macOS, S_IFCHR, 0, WaitMethod::select}, // a terminal: poll() would spin there
      {Platform::macOS, S_IFIFO, 0, WaitMethod::poll},
      {Platform::macOS, S_IFSOCK, 1, WaitMethod::poll},
      {Platform::macOS, S_IFCHR, FD_SETSIZE, WaitMethod::poll}, // past what select() takes
      {Platform::otherUnix, S_IFCHR, 0, WaitMethod::poll},
  };
  for (const auto& c : cases)
    EXPECT_EQ(waitMethodFor(c.platform, c.mode, c.fd), c.method) << c.mode << " " << c.fd;
}

// This thread's CPU time so far.
std::chrono::microseconds threadCpu() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec));
}

// A host may hand over a non-blocking terminal: nothing typed yet, or a screen that takes no more,
// must be waited out by either method, not spun on, and what comes then is read and written.
TEST(WaitReadyTest, ANonBlockingTerminalIsWaitedOnNotSpunOn) {
  for (WaitMethod method : {WaitMethod::poll, WaitMethod::select}) {
    int master = -1, slave = -1;
    ASSERT_TRUE(driver::openTerminal(master, slave));
    ::fcntl(slave, F_SETFL, ::fcntl(slave, F_GETFL) | O_NONBLOCK);

    std::chrono::microseconds readerCpu{};
    ssize_t got = 0;
    char buffer[64];
    std::thread reader([&] {
      const auto before = threadCpu();
      got = server::readWaiting(slave, buffer, sizeof buffer, method);
      readerCpu = threadCpu() - before;
    });
    std::this_thread::sleep_for(300ms); // the reader waits all along
    (void)!::write(master, "typed\n", 6);
    reader.join();
    EXPECT_EQ(std::string(buffer, std::size_t(got > 0 ? got : 0)), "typed\n");
    EXPECT_LT(readerCpu, 100ms) << "it spun while nothing was typed";

    // Output nobody reads fills the terminal's buffer; the write waits, then ends whole.
    const std::string screenful(1 << 20, 'x');
    std::chrono::microseconds writerCpu{};
    bool written = false;
    std::thread writer([&] {
      const auto before = threadCpu();
      written = writeAll(slave, screenful, method);
      writerCpu = threadCpu() - before;
    });
    std::this_thread::sleep_for(300ms);
    std::size_t drained = 0;
    while (drained < screenful.size()) {
      char chunk[65536];
      ssize_t n = ::read(master, chunk, sizeof chunk);
      if (n <= 0)
        break;
      drained += std::size_t(n);
    }
    writer.join();
    EXPECT_TRUE(written);
    EXPECT_LT(writerCpu, 200ms) << "it spun on the full terminal";
    ::close(master);
    ::close(slave);
  }
}

} // namespace
} // namespace vantrel
