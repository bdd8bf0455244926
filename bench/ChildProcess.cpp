#include "ChildProcess.h"

#include "Fds.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>

namespace vantrel::bench {
namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::max<long long>(0, left));
}

} // namespace

std::unique_ptr<ChildProcess> ChildProcess::spawn(const std::string& path,
                                                  const std::vector<std::string>& env,
                                                  std::string& error) {
  int in[2], out[2];
  if (!makePipe(in)) {
    error = std::string("pipe: ") + std::strerror(errno);
    return nullptr;
  }
  if (!makePipe(out)) {
    error = std::string("pipe: ") + std::strerror(errno);
    ::close(in[0]);
    ::close(in[1]);
    return nullptr;
  }
  std::vector<char*> envp;
  for (const auto& entry : env)
    envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  char* argv[] = {const_cast<char*>(path.c_str()), nullptr};

  // posix_spawn rather than fork: it does not copy our address space, so the spawn cost we
  // measure is the server's, not ours.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  // Our end only: the child's stdin stays blocking, and our writes can give up at a deadline.
  setNonBlocking(in[1]);
  if (rc != 0) {
    error = "cannot start " + path + ": " + std::strerror(rc);
    ::close(in[1]);
    ::close(out[0]);
    return nullptr;
  }
  return std::unique_ptr<ChildProcess>(new ChildProcess(pid, in[1], out[0]));
}

ChildProcess::~ChildProcess() {
  if (!reaped_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (in_ >= 0)
    ::close(in_);
  ::close(out_);
}

bool ChildProcess::write(std::string_view bytes, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (!bytes.empty() && in_ >= 0) {
    ssize_t n = ::write(in_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR)
        continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK)
        return false;
      pollfd p{in_, POLLOUT, 0};
      if (::poll(&p, 1, remainingMs(deadline)) == 0)
        return false;
      continue;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return bytes.empty();
}

void ChildProcess::terminate() {
  if (!reaped_)
    ::kill(pid_, SIGKILL);
}

bool ChildProcess::fill(std::chrono::milliseconds timeout) {
  if (start_ > 0 && start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  }
  auto deadline = Clock::now() + timeout;
  for (;;) {
    pollfd p{out_, POLLIN, 0};
    int ready = ::poll(&p, 1, remainingMs(deadline));
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready <= 0)
      return false;
    char chunk[64 * 1024];
    ssize_t n = ::read(out_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
  }
}

bool ChildProcess::readLine(std::string& line, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  std::size_t scanned = start_;
  for (;;) {
    auto newline = buffer_.find('\n', scanned);
    if (newline != std::string::npos) {
      line.assign(buffer_, start_, newline - start_);
      start_ = newline + 1;
      return true;
    }
    scanned = buffer_.size();
    if (start_ > 0) { // keep the unread tail only
      buffer_.erase(0, start_);
      scanned -= start_;
      start_ = 0;
    }
    if (!fill(std::chrono::milliseconds(remainingMs(deadline))))
      return false;
  }
}

bool ChildProcess::readSome(std::string& into, std::chrono::milliseconds timeout) {
  if (start_ < buffer_.size()) {
    into.append(buffer_, start_);
    buffer_.clear();
    start_ = 0;
    return true;
  }
  if (!fill(timeout))
    return false;
  into.append(buffer_);
  buffer_.clear();
  start_ = 0;
  return true;
}

void ChildProcess::closeInput() {
  if (in_ >= 0)
    ::close(in_);
  in_ = -1;
}

ChildProcess::Exit ChildProcess::wait(std::chrono::milliseconds timeout) {
  Exit exit;
  if (reaped_)
    return exit;
  // End of our read side means the child has exited (it holds its stdout to the end); then the
  // blocking reap returns at once.
  auto deadline = Clock::now() + timeout;
  for (;;) {
    pollfd p{out_, POLLIN, 0};
    int ready = ::poll(&p, 1, remainingMs(deadline));
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready == 0) {
      ::kill(pid_, SIGKILL);
      exit.killed = true;
      break;
    }
    char chunk[4096];
    ssize_t n = ::read(out_, chunk, sizeof chunk);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
      break;
  }
  // The reap is bounded too: a child that closed its stdout but lives on is killed at the deadline.
  for (;;) {
    pid_t done = ::wait4(pid_, &exit.status, exit.killed ? 0 : WNOHANG, &exit.usage);
    if (done == pid_ || (done < 0 && errno != EINTR))
      break;
    if (done == 0 && Clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      exit.killed = true;
      continue;
    }
    if (done == 0)
      ::usleep(20);
  }
  reaped_ = true;
  return exit;
}

} // namespace vantrel::bench
