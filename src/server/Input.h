#pragma once

#include "common/WaitReady.h"

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <string>
#include <sys/types.h>

namespace vantrel::server {

// Where the requests come from, chosen once, at start.
class Input {
public:
  enum class Kind {
    // A pipe or socket, as agent hosts give: waited on by the loop, read on the reading thread.
    waited,
    // Anything else (a file, a terminal, /dev/null, another device): not every kind can be waited
    // on everywhere (macOS), so it is read with blocking reads by a thread of its own.
    blocking,
    // Bytes in memory, handed over as if read (tests and fuzzing).
    bytes,
  };

  // Standard input or another descriptor, by what it is.
  static Input descriptor(int fd);
  static Input bytes(std::string bytes);

  Kind kind() const { return kind_; }
  int fd() const { return fd_; }
  std::string takeBytes() { return std::move(bytes_); }

private:
  Kind kind_ = Kind::bytes;
  int fd_ = -1;
  std::string bytes_;
};

// The most read from standard input at once, whoever reads it.
inline constexpr std::size_t kInputPiece = 64 * 1024;

// Reads up to `size` bytes from `fd`, blocking or not: an interrupted read is retried, and EAGAIN
// (a host may hand over a non-blocking descriptor) is waited out with `method`. The count, 0 at
// end of input, -1 on an error (errno says which).
ssize_t readWaiting(int fd, char* buffer, std::size_t size, WaitMethod method);

// Whether bytes wait on a pipe or socket after a read of `got` bytes into `room`: a short read
// took all there was.
bool moreWaiting(int fd, std::size_t got, std::size_t room);

// Tells when a pipe or socket can be read without touching its flags. The loop can wait only on
// a descriptor it makes non-blocking, and the input's flags belong to its open file description,
// which the host or a sibling process may share and which outlives us: so the loop waits on an
// epoll (Linux) or kqueue (macOS) descriptor of our own that holds the input, and the input keeps
// its flags as found. Where the loop cannot wait on the watch either (Asio makes it non-blocking
// first, which a macOS kqueue may refuse), the first wait fails and the blocking reader takes
// over. Movable; one thread at a time.
class InputWatch {
public:
  // Nothing when the platform refuses one (errno says why).
  static std::optional<InputWatch> open(int input);
  InputWatch(InputWatch&& other) noexcept;
  InputWatch& operator=(InputWatch&&) = delete;
  ~InputWatch();

  // The descriptor to wait on: readable when the input may be.
  int fd() const { return watch_; }
  // Whether the input can be read now without blocking (or has ended or failed). A wake-up on
  // fd() can be stale; this asks afresh.
  bool readable();

private:
  explicit InputWatch(int watch) : watch_(watch) {}
  int watch_;
};

// Reads a descriptor with blocking reads on a thread of its own and hands each piece to
// `deliver` on that thread, at most kAhead pieces ahead of the taker, which calls taken() for
// each piece it has handled (a file is not read into memory faster than it is served). The last
// piece says the input ended, or why it could not be read.
class BlockingReader {
public:
  struct Piece {
    std::string bytes;
    bool ended = false;
    std::optional<std::string> failure; // set with `ended` when reading failed
  };
  using Deliver = std::function<void(Piece piece)>;
  static constexpr std::size_t kAhead = 4;

  BlockingReader() = default;
  BlockingReader(const BlockingReader&) = delete;
  BlockingReader& operator=(const BlockingReader&) = delete;
  // Joins the thread, which must have delivered its last piece.
  ~BlockingReader();

  // Starts the thread; false when none can be made.
  bool start(int fd, Deliver deliver);
  // One delivered piece has been handled. Any thread.
  void taken();
  // Whether more pieces than the one being handled are delivered and not yet taken.
  bool moreDelivered() const;

private:
  static void* run(void* self);
  void readAll();

  int fd_ = -1;
  Deliver deliver_;
  std::optional<pthread_t> thread_;
  mutable std::mutex lock_; // guards untaken_ only
  std::condition_variable room_;
  std::size_t untaken_ = 0; // delivered, not yet taken
};

} // namespace vantrel::server
