#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vantrel::demo {

using Clock = std::chrono::steady_clock;

// Set from a SIGINT/SIGTERM handler; every wait in this file gives up when it is set, so the
// owner can still tear its children down.
bool stopRequested();
void installStopHandlers(); // also ignores SIGPIPE: a dead child must not kill us mid-write

// One line read from a child, or why there is none ("end of output", "timed out", ...).
struct Line {
  std::optional<std::string> text;
  std::string whyNot;
};

// A child process with optional pipes on its stdin, stdout and stderr; streams not piped are
// inherited (stdin becomes /dev/null). Single-threaded use only. The destructor makes sure the
// process is gone: SIGTERM, a short grace period, then SIGKILL, always reaped.
class Child {
public:
  enum Stream { Stdout, Stderr };
  struct Pipes {
    bool in = false, out = false, err = false;
  };

  // The process, or a message saying why it could not be started.
  static std::variant<std::unique_ptr<Child>, std::string>
  spawn(const std::vector<std::string>& argv, Pipes pipes);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool writeAll(std::string_view bytes); // false when stdin is closed or the child is gone
  void closeInput();
  void closeStream(Stream stream); // stop reading; later writes by the child get EPIPE
  Line readLine(Stream stream, Clock::time_point deadline);
  std::string drain(Stream stream); // whatever can be read without waiting

  void sendSignal(int signal);
  // Exit code, or -N when signal N ended it; nothing if still running at the deadline.
  std::optional<int> waitExit(Clock::time_point deadline);
  int pid() const { return pid_; }

private:
  Child() = default;
  int pid_ = -1;
  bool reaped_ = false;
  int in_ = -1;
  int fds_[2] = {-1, -1};
  std::string buffers_[2];
};

} // namespace vantrel::demo
