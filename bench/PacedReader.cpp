#include "PacedReader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace vantrel::bench {

std::unique_ptr<PacedReader> PacedReader::open(pid_t pid, Pace pace, std::string& error) {
#if defined(__linux__) && defined(F_SETPIPE_SZ)
  const std::string path = "/proc/" + std::to_string(pid) + "/fd/1";
  // Non-blocking: opening a pipe through /proc is opening a FIFO, and a read must never hang.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  if (::fcntl(fd, F_SETPIPE_SZ, pace.pipeBytes) < 0) {
    error = "cannot size the pipe: " + std::string(std::strerror(errno));
    ::close(fd);
    return nullptr;
  }
  const int size = ::fcntl(fd, F_GETPIPE_SZ);
  if (size < 0) {
    error = "cannot read the pipe's size: " + std::string(std::strerror(errno));
    ::close(fd);
    return nullptr;
  }
  return std::unique_ptr<PacedReader>(new PacedReader(fd, pace, size));
#else
  (void)pid;
  (void)pace;
  error = "a paced reader needs Linux's /proc and F_SETPIPE_SZ";
  return nullptr;
#endif
}

PacedReader::~PacedReader() {
  ::close(fd_);
}

std::size_t PacedReader::read(std::string& out, Clock::time_point deadline) {
  if (ended_)
    return 0;
  if (due_ > deadline) {
    std::this_thread::sleep_until(deadline);
    return 0;
  }
  std::this_thread::sleep_until(due_);
  std::string chunk(pace_.chunk, '\0');
  for (;;) {
    ssize_t n = ::read(fd_, chunk.data(), chunk.size());
    if (n > 0) {
      const auto at = Clock::now();
      const auto per = [&](std::size_t bytes) {
        return std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(static_cast<double>(bytes) / pace_.bytesPerSecond));
      };
      // Kept on the schedule, so a late wake-up is made up for; but time spent waiting for the
      // child earns no more than one chunk ahead, as a host's reads do not pile up.
      due_ = std::max(due_, at - per(pace_.chunk)) + per(static_cast<std::size_t>(n));
      out.append(chunk.data(), static_cast<std::size_t>(n));
      return static_cast<std::size_t>(n);
    }
    if (n < 0 && errno == EINTR)
      continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) { // the child's end has gone
      ended_ = true;
      return 0;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0)
      return 0;
    pollfd in{fd_, POLLIN, 0};
    ::poll(&in, 1, static_cast<int>(std::min<long long>(left.count(), 1000))); // EINTR: retry
  }
}

} // namespace vantrel::bench
