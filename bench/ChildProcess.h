#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/types.h>
#include <vector>

namespace vantrel::bench {

// A process started with its stdin and stdout on pipes to us and stderr shared with us. Every
// wait is bounded; a child still running when this is destroyed is killed and reaped, so the
// benchmark never leaves a process behind.
class ChildProcess {
public:
  struct Exit {
    int status = 0;      // as from waitpid
    rusage usage{};      // the child's own CPU time and peak RSS
    bool killed = false; // we had to kill it: it did not exit in time
  };

  // `env` is the child's whole environment ("NAME=value"). nullptr and `error` on failure.
  static std::unique_ptr<ChildProcess>
  spawn(const std::string& path, const std::vector<std::string>& env, std::string& error);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Writes all of `bytes` to the child's stdin, waiting at most `timeout` for room; false if the
  // child has closed it or stopped reading.
  bool write(std::string_view bytes,
             std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

  // The next line from the child's stdout without its line feed, waiting at most `timeout` for
  // it; false on end of output or time-out.
  bool readLine(std::string& line, std::chrono::milliseconds timeout);

  // Raw chunk reading for counting replies in bulk: appends what is there (waiting at most
  // `timeout` for something); false on end of output or time-out.
  bool readSome(std::string& into, std::chrono::milliseconds timeout);

  void closeInput();

  // Kills the child at once (it is reaped by wait or the destructor). Any thread.
  void terminate();

  // Waits until the child has closed its stdout (it exits) and reaps it; kills it if that takes
  // longer than `timeout`.
  Exit wait(std::chrono::milliseconds timeout);

private:
  ChildProcess(pid_t pid, int in, int out) : pid_(pid), in_(in), out_(out) {}
  bool fill(std::chrono::milliseconds timeout);

  pid_t pid_;
  int in_;
  int out_;
  bool reaped_ = false;
  std::string buffer_;
  std::size_t start_ = 0;
};

} // namespace vantrel::bench
