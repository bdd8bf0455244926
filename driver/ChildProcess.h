#pragma once

#include "driver/LineSplitter.h"

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace vantrel::driver {

// A program started with posix_spawn (fork and exec when it must be adjusted in between), its
// stdin, stdout and stderr each on a pipe to us, inherited, or /dev/null. Every wait is bounded
// by a deadline. The destructor sends SIGTERM,
// allows a short grace, then SIGKILL, and always reaps: nothing is left behind.
//
// Failures of the harness itself (no pipe, no fork, exec refused, an adjustment that could not
// be made in the child) throw std::runtime_error; ordinary outcomes (end of output, a deadline
// passed, the child gone) are values. One thread at a time, except that write() and
// closeInput() touch only the stdin side and may run on another thread than the reads.
//
// The first ChildProcess ignores SIGPIPE in this process (if it was at its default), so that
// writing to a child that has gone fails instead of killing the caller; children start with it
// at its default again.
class ChildProcess {
public:
  using Clock = std::chrono::steady_clock;
  enum class Stdio { Pipe, Inherit, Null };
  enum class Stream { Stdout, Stderr };

  // One change the child makes to itself between fork and exec, after its stdio is in place;
  // applied in order, each async-signal-safe.
  struct Adjustment {
    enum class Kind { Close, NonBlocking, Limit, User } kind;
    int fd = -1;
    int resource = 0;
    rlim_t soft = 0, hard = 0;
    uid_t uid = 0;
    gid_t gid = 0;

    static Adjustment close(int fd) { return {Kind::Close, fd}; }
    static Adjustment nonBlocking(int fd) { return {Kind::NonBlocking, fd}; }
    // setrlimit(resource, {soft, hard}); e.g. RLIMIT_NOFILE or RLIMIT_NPROC.
    static Adjustment limit(int resource, rlim_t soft, rlim_t hard) {
      return {Kind::Limit, -1, resource, soft, hard};
    }
    // No supplementary groups, then setgid(gid) and setuid(uid): root leaving its privileges,
    // e.g. so that RLIMIT_NPROC, which binds every user but root, applies.
    static Adjustment user(uid_t uid, gid_t gid) { return {Kind::User, -1, 0, 0, 0, uid, gid}; }
  };

  struct Options {
    std::map<std::string, std::string> env = {}; // merged over the parent's environment
    bool inheritEnv = true;                      // false: `env` is the whole environment
    Stdio in = Stdio::Pipe, out = Stdio::Pipe, err = Stdio::Pipe;
    std::vector<Adjustment> adjustments = {};
  };

  struct Line {
    std::optional<std::string> text; // without its "\n"
    bool ended = false; // no line because the stream ended (or is not ours); else the deadline
  };

  struct Exit {
    int code = 0;   // the exit code when it exited
    int signal = 0; // the signal that ended it, else 0
    rusage usage{}; // its own CPU time and peak RSS (ru_maxrss: KiB on Linux, bytes on macOS)
    // The code, or -signal: the shape tests compare against.
    int status() const { return signal != 0 ? -signal : code; }
  };

  // Starts argv[0], looked up in PATH when it has no "/". Throws std::runtime_error when it
  // cannot be started, with the reason (exec's own error included).
  ChildProcess(std::vector<std::string> argv, Options options);
  explicit ChildProcess(std::vector<std::string> argv) : ChildProcess(std::move(argv), Options()) {}
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Writes all of `bytes` to the child's stdin, waiting at most `timeout` for room; false if the
  // child closed it, stdin is not ours, or the time ran out (part may have been written).
  bool write(std::string_view bytes, Clock::duration timeout = std::chrono::seconds(10));
  void closeInput();
  // Closes our end of `stream`: what is buffered is dropped, later writes by the child fail.
  void stopReading(Stream stream);

  // The next line of `stream`, waiting until `deadline` for it.
  Line readLine(Stream stream, Clock::time_point deadline);
  Line readLine(Stream stream, Clock::duration timeout) {
    return readLine(stream, Clock::now() + timeout);
  }
  // What is buffered, or else the next bytes to arrive before `deadline`; nothing on end of
  // output or at the deadline. For reading in bulk without splitting lines.
  std::optional<std::string> readSome(Stream stream, Clock::time_point deadline);
  // Everything that can be had without waiting.
  std::string readAvailable(Stream stream);

  // Sends `signal` unless the child has been reaped.
  void sendSignal(int signal);
  // Waits for the child to end and reaps it; nothing if it still runs at `deadline`. Output
  // arriving meanwhile stays buffered for the reads. After the reap, returns the same Exit.
  std::optional<Exit> waitExit(Clock::time_point deadline);
  std::optional<Exit> waitExit(Clock::duration timeout) { return waitExit(Clock::now() + timeout); }

private:
  struct Output {
    int fd = -1;
    LineSplitter lines;
  };
  Output& output(Stream stream) { return stream == Stream::Stdout ? out_ : err_; }
  // Reads one chunk into `output`; false at end of output (the descriptor is then closed).
  bool fill(Output& output);
  // Waits until `output` is readable or `deadline` passes; false at the deadline.
  bool waitReadable(const Output& output, Clock::time_point deadline);
  bool reap(int flags);

  pid_t pid_ = -1;
  int in_ = -1;
  Output out_, err_;
  std::optional<Exit> exit_;
};

// What a program run to its end wrote, and how it ended.
struct Ran {
  std::string out;
  std::string err;
  int status = -1; // Exit::status(); -1 when it was still running at the time-out, and so killed
};
// Runs argv until it exits or `timeout` passes, collecting its stdout and stderr (which
// `options` should leave as pipes). The output is read once the program has ended, so it must
// fit the pipes' buffers (64 KiB on Linux): for short reports, not bulk output. Throws as the
// constructor does.
Ran runToExit(std::vector<std::string> argv, ChildProcess::Options options,
              ChildProcess::Clock::duration timeout);

// The child, or nullptr with `error` saying why it could not be started.
std::unique_ptr<ChildProcess> startChild(std::vector<std::string> argv,
                                         ChildProcess::Options options, std::string& error);

} // namespace vantrel::driver
