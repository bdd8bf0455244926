#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <sys/types.h>

namespace vantrel::bench {

// Reads a child's standard output as a slow agent host does: at most `chunk` bytes a read, at
// `bytesPerSecond`, from a pipe cut to `pipeBytes`, so that the child's writes wait for it as
// they would for the host. Linux only: it opens a read end of its own through /proc/<pid>/fd/1
// (the driver reads 64 KiB at a time and would drain a small pipe at once) and sizes the pipe
// with F_SETPIPE_SZ; the driver's own end must not be read meanwhile. One thread at a time.
class PacedReader {
public:
  using Clock = std::chrono::steady_clock;
  struct Pace {
    double bytesPerSecond = 30e6;
    std::size_t chunk = 16 * 1024;
    int pipeBytes = 64 * 1024;
  };

  // Nothing, with `error`, where the pipe cannot be reached or sized.
  static std::unique_ptr<PacedReader> open(pid_t pid, Pace pace, std::string& error);
  ~PacedReader();
  PacedReader(const PacedReader&) = delete;
  PacedReader& operator=(const PacedReader&) = delete;

  // The pipe's size as the kernel has it after the change.
  int pipeBytes() const { return pipeBytes_; }

  // Waits for this read's turn at the pace, then until `deadline` for bytes, and appends at most
  // one chunk to `out`. The bytes appended: 0 at the deadline or at end of output (ended()).
  std::size_t read(std::string& out, Clock::time_point deadline);
  bool ended() const { return ended_; }

private:
  PacedReader(int fd, Pace pace, int pipeBytes) : fd_(fd), pace_(pace), pipeBytes_(pipeBytes) {}

  int fd_;
  Pace pace_;
  int pipeBytes_;
  bool ended_ = false;
  Clock::time_point due_{}; // when the next read may start
};

} // namespace vantrel::bench
