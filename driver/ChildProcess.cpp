#include "driver/ChildProcess.h"

#include "driver/Descriptors.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <iterator>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace vantrel::driver {
namespace {

using Clock = ChildProcess::Clock;

// What the child sends back over the close-on-exec pipe when it cannot become the program:
// which step failed (-1: exec itself) and errno.
struct ChildFailure {
  int step;
  int error;
};

[[noreturn]] void failInChild(int reportFd, int step) {
  ChildFailure failure{step, errno};
  while (::write(reportFd, &failure, sizeof failure) < 0 && errno == EINTR) {
  }
  ::_exit(127);
}

std::string systemError(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

int millisUntil(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
}

void ignoreSigPipeOnce() {
  static const bool done = [] {
    struct sigaction current {};
    if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
      ::signal(SIGPIPE, SIG_IGN);
    return true;
  }();
  (void)done;
}

std::vector<std::string> buildEnvironment(const ChildProcess::Options& options) {
  std::vector<std::string> vars;
  if (options.inheritEnv) {
    for (char** entry = environ; *entry != nullptr; ++entry) {
      std::string var = *entry;
      if (options.env.count(var.substr(0, var.find('='))) == 0)
        vars.push_back(std::move(var));
    }
  }
  for (const auto& [name, value] : options.env)
    vars.push_back(name + "=" + value);
  return vars;
}

// argv[0] as exec will see it: as given when it holds a "/", else the first executable file of
// that name in the child's PATH (as a shell would look it up).
std::string resolveProgram(const std::string& name, const std::vector<std::string>& env) {
  if (name.find('/') != std::string::npos)
    return name;
  std::string path = "/usr/bin:/bin";
  for (const auto& var : env)
    if (var.rfind("PATH=", 0) == 0)
      path = var.substr(5);
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = std::min(path.find(':', start), path.size());
    std::string dir = path.substr(start, end - start);
    std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    struct stat info {};
    if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0)
      return candidate;
    start = end + 1;
  }
  throw std::runtime_error("cannot start " + name + ": not found in PATH");
}

std::string describe(const ChildProcess::Adjustment& adjustment) {
  switch (adjustment.kind) {
  case ChildProcess::Adjustment::Kind::Close:
    return "closing descriptor " + std::to_string(adjustment.fd);
  case ChildProcess::Adjustment::Kind::NonBlocking:
    return "setting O_NONBLOCK on descriptor " + std::to_string(adjustment.fd);
  case ChildProcess::Adjustment::Kind::Limit:
    return "setrlimit(" + std::to_string(adjustment.resource) + ")";
  case ChildProcess::Adjustment::Kind::User:
    return "becoming uid " + std::to_string(adjustment.uid) + ", gid " +
           std::to_string(adjustment.gid);
  }
  return "an adjustment";
}

// One end of the child's stdio: what the child gets as `target`, and our end if it is a pipe.
struct StdioEnds {
  int child = -1;
  int ours = -1;
};

StdioEnds openStdio(ChildProcess::Stdio mode, bool isInput) {
  StdioEnds ends;
  if (mode == ChildProcess::Stdio::Null) {
    ends.child = ::open("/dev/null", (isInput ? O_RDONLY : O_WRONLY) | O_CLOEXEC);
    if (ends.child < 0)
      throw std::runtime_error(systemError("cannot open /dev/null"));
  } else if (mode == ChildProcess::Stdio::Pipe) {
    int pipe[2];
    if (!makePipe(pipe))
      throw std::runtime_error(systemError("cannot create a pipe"));
    ends.child = isInput ? pipe[0] : pipe[1];
    ends.ours = isInput ? pipe[1] : pipe[0];
  }
  return ends;
}

// In the child: puts `from` at `target`, without close-on-exec.
bool placeStdio(int from, int target) {
  if (from < 0)
    return true;
  if (from == target)
    return ::fcntl(target, F_SETFD, 0) == 0;
  return ::dup2(from, target) == target;
}

// posix_spawn, which does not copy our address space: a benchmark that times its children's
// start measures them, not us. "" when started, else what failed.
std::string spawnPlain(pid_t& pid, const std::string& program, char* const args[],
                       char* const envp[], const StdioEnds (&stdio)[3]) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  for (int target = 0; target < 3; ++target)
    if (stdio[target].child >= 0)
      posix_spawn_file_actions_adddup2(&actions, stdio[target].child, target);
  // A real agent host starts us with default signal handling and nothing blocked.
  sigset_t none, pipe;
  sigemptyset(&none);
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &pipe);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  int error = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, args, envp);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return error == 0 ? "" : std::string("exec failed: ") + std::strerror(error);
}

// fork, the adjustments, then exec. The child reports a failure over a close-on-exec pipe, on
// which nothing arrives when exec succeeds. "" when started, else what failed.
std::string forkAndExec(pid_t& pid, const std::string& program, char* const args[],
                        char* const envp[], const StdioEnds (&stdio)[3],
                        const std::vector<ChildProcess::Adjustment>& adjustments) {
  using Adjustment = ChildProcess::Adjustment;
  int report[2];
  if (!makePipe(report))
    throw std::runtime_error(systemError("cannot create a pipe"));
  pid = ::fork();
  if (pid < 0) {
    std::string error = systemError("cannot fork for " + program);
    closeQuietly(report[0]);
    closeQuietly(report[1]);
    throw std::runtime_error(error);
  }
  if (pid == 0) {
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &defaultAction, nullptr);
    for (int target = 0; target < 3; ++target)
      if (!placeStdio(stdio[target].child, target))
        failInChild(report[1], -2);
    for (std::size_t i = 0; i < adjustments.size(); ++i) {
      const Adjustment& adjustment = adjustments[i];
      bool ok = true;
      switch (adjustment.kind) {
      case Adjustment::Kind::Close:
        ok = ::close(adjustment.fd) == 0;
        break;
      case Adjustment::Kind::NonBlocking:
        ok = setNonBlocking(adjustment.fd);
        break;
      case Adjustment::Kind::Limit: {
        rlimit limit{adjustment.soft, adjustment.hard};
        ok = ::setrlimit(adjustment.resource, &limit) == 0;
        break;
      }
      case Adjustment::Kind::User:
        ok = ::setgroups(0, nullptr) == 0 && ::setgid(adjustment.gid) == 0 &&
             ::setuid(adjustment.uid) == 0;
        break;
      }
      if (!ok)
        failInChild(report[1], static_cast<int>(i));
    }
    ::execve(program.c_str(), args, envp);
    failInChild(report[1], -1);
  }
  closeQuietly(report[1]);
  ChildFailure failure{};
  ssize_t got;
  while ((got = ::read(report[0], &failure, sizeof failure)) < 0 && errno == EINTR) {
  }
  closeQuietly(report[0]);
  if (got != static_cast<ssize_t>(sizeof failure))
    return "";
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid = -1;
  std::string step = failure.step == -1   ? "exec"
                     : failure.step == -2 ? "setting up its stdin, stdout and stderr"
                                          : describe(adjustments[failure.step]);
  return step + " failed: " + std::strerror(failure.error);
}

} // namespace

ChildProcess::ChildProcess(std::vector<std::string> argv, Options options) {
  if (argv.empty())
    throw std::runtime_error("ChildProcess: no program given");
  ignoreSigPipeOnce();
  // Everything the child needs is built first: between fork and exec it may only make
  // async-signal-safe calls, since other threads of ours may hold the allocator's locks.
  std::vector<std::string> env = buildEnvironment(options);
  const std::string program = resolveProgram(argv[0], env);
  std::vector<char*> envp, args;
  for (auto& var : env)
    envp.push_back(var.data());
  envp.push_back(nullptr);
  for (auto& arg : argv)
    args.push_back(arg.data());
  args.push_back(nullptr);

  StdioEnds stdio[3];
  auto closeAll = [&] {
    for (auto& ends : stdio) {
      closeQuietly(ends.child);
      closeQuietly(ends.ours);
    }
  };
  std::string failure;
  try {
    stdio[0] = openStdio(options.in, true);
    stdio[1] = openStdio(options.out, false);
    stdio[2] = openStdio(options.err, false);
    // posix_spawn cannot make the adjustments, nor put a descriptor that is already 0, 1 or 2
    // in place portably; fork can.
    const bool plain = options.adjustments.empty() &&
                       std::all_of(std::begin(stdio), std::end(stdio), [](const StdioEnds& ends) {
                         return ends.child < 0 || ends.child > 2;
                       });
    failure =
        plain ? spawnPlain(pid_, program, args.data(), envp.data(), stdio)
              : forkAndExec(pid_, program, args.data(), envp.data(), stdio, options.adjustments);
  } catch (...) {
    closeAll();
    throw;
  }
  for (auto& ends : stdio)
    closeQuietly(ends.child);
  if (!failure.empty()) {
    closeAll();
    throw std::runtime_error("cannot start " + program + ": " + failure);
  }
  in_ = stdio[0].ours;
  out_.fd = stdio[1].ours;
  err_.fd = stdio[2].ours;
  // Our end only (the two ends of a pipe are separate): writes can then give up at a deadline.
  if (in_ >= 0)
    setNonBlocking(in_);
}

ChildProcess::~ChildProcess() {
  closeQuietly(in_);
  closeQuietly(out_.fd);
  closeQuietly(err_.fd);
  if (pid_ <= 0 || exit_)
    return;
  ::kill(pid_, SIGTERM);
  // A short grace, so a child that cleans up on SIGTERM (the stand-in removes its token) can.
  auto grace = Clock::now() + std::chrono::milliseconds(500);
  auto pause = std::chrono::microseconds(100);
  while (Clock::now() < grace) {
    pid_t done = ::waitpid(pid_, nullptr, WNOHANG);
    if (done == pid_ || (done < 0 && errno != EINTR))
      return;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(20000));
  }
  ::kill(pid_, SIGKILL);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

bool ChildProcess::write(std::string_view bytes, Clock::duration timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!bytes.empty()) {
    if (in_ < 0)
      return false;
    ssize_t n = ::write(in_, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
      return false; // EPIPE: the child closed its stdin or has gone
    pollfd room{in_, POLLOUT, 0};
    int ready = ::poll(&room, 1, millisUntil(deadline));
    if (ready == 0)
      return false;
  }
  return true;
}

void ChildProcess::closeInput() {
  closeQuietly(in_);
}

void ChildProcess::stopReading(Stream stream) {
  Output& o = output(stream);
  closeQuietly(o.fd);
  o.lines.takeAll();
}

bool ChildProcess::fill(Output& o) {
  char chunk[64 * 1024];
  for (;;) {
    ssize_t n = ::read(o.fd, chunk, sizeof chunk);
    if (n > 0) {
      o.lines.append(std::string_view(chunk, static_cast<std::size_t>(n)));
      return true;
    }
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
      return true;
    closeQuietly(o.fd);
    return false;
  }
}

bool ChildProcess::waitReadable(const Output& o, Clock::time_point deadline) {
  for (;;) {
    pollfd ready{o.fd, POLLIN, 0};
    int n = ::poll(&ready, 1, millisUntil(deadline));
    if (n > 0)
      return true;
    if (n == 0 || errno != EINTR)
      return false;
  }
}

ChildProcess::Line ChildProcess::readLine(Stream stream, Clock::time_point deadline) {
  Output& o = output(stream);
  for (;;) {
    if (auto line = o.lines.next())
      return {std::move(line), false};
    if (o.fd < 0)
      return {std::nullopt, true};
    if (!waitReadable(o, deadline))
      return {std::nullopt, false};
    fill(o);
  }
}

std::optional<std::string> ChildProcess::readSome(Stream stream, Clock::time_point deadline) {
  Output& o = output(stream);
  for (;;) {
    if (!o.lines.empty())
      return o.lines.takeAll();
    if (o.fd < 0 || !waitReadable(o, deadline))
      return std::nullopt;
    fill(o);
  }
}

std::string ChildProcess::readAvailable(Stream stream) {
  Output& o = output(stream);
  while (o.fd >= 0) {
    pollfd ready{o.fd, POLLIN, 0};
    if (::poll(&ready, 1, 0) <= 0 || !fill(o))
      break;
  }
  return o.lines.takeAll();
}

void ChildProcess::sendSignal(int signal) {
  if (pid_ > 0 && !exit_)
    ::kill(pid_, signal);
}

bool ChildProcess::reap(int flags) {
  int status = 0;
  rusage usage{};
  for (;;) {
    pid_t done = ::wait4(pid_, &status, flags, &usage);
    if (done == pid_)
      break;
    if (done == 0)
      return false;
    if (errno != EINTR)
      throw std::runtime_error(systemError("waiting for child " + std::to_string(pid_)));
  }
  Exit exit;
  exit.code = WIFEXITED(status) ? WEXITSTATUS(status) : 0;
  exit.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  exit.usage = usage;
  exit_ = exit;
  return true;
}

std::optional<ChildProcess::Exit> ChildProcess::waitExit(Clock::time_point deadline) {
  auto pause = std::chrono::microseconds(50);
  int spins = 0;
  while (!exit_ && !reap(WNOHANG)) {
    auto now = Clock::now();
    if (now >= deadline)
      return std::nullopt;
    // Output is read meanwhile: a child blocked on a full pipe could not exit otherwise, and the
    // end of its output is usually the moment it exits.
    pollfd fds[2];
    Output* outputs[2];
    nfds_t count = 0;
    for (Output* o : {&out_, &err_}) {
      if (o->fd >= 0) {
        fds[count] = {o->fd, POLLIN, 0};
        outputs[count++] = o;
      }
    }
    if (count == 0) {
      // Its output has ended, so it is most likely exiting: let it run, then sleep in growing
      // steps (a sleep on a busy machine lasts far longer than asked).
      if (++spins <= 100) {
        std::this_thread::yield();
      } else {
        std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, std::chrono::microseconds(10000));
      }
      continue;
    }
    int slice = std::min(millisUntil(deadline), 10);
    if (::poll(fds, count, slice) > 0)
      for (nfds_t i = 0; i < count; ++i)
        if (fds[i].revents != 0)
          fill(*outputs[i]);
  }
  return exit_;
}

Ran runToExit(std::vector<std::string> argv, ChildProcess::Options options,
              ChildProcess::Clock::duration timeout) {
  ChildProcess child(std::move(argv), std::move(options));
  Ran ran;
  if (auto exit = child.waitExit(timeout))
    ran.status = exit->status();
  ran.out = child.readAvailable(ChildProcess::Stream::Stdout);
  ran.err = child.readAvailable(ChildProcess::Stream::Stderr);
  return ran;
}

std::unique_ptr<ChildProcess> startChild(std::vector<std::string> argv,
                                         ChildProcess::Options options, std::string& error) {
  try {
    return std::make_unique<ChildProcess>(std::move(argv), std::move(options));
  } catch (const std::runtime_error& failure) {
    error = failure.what();
    return nullptr;
  }
}

} // namespace vantrel::driver
