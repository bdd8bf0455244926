#include "Child.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace vantrel::demo {
namespace {

volatile std::sig_atomic_t gStop = 0;

extern "C" void onStopSignal(int) {
  gStop = 1;
}

void closeFd(int& fd) {
  if (fd >= 0)
    ::close(fd);
  fd = -1;
}

// Our ends must not leak into the other child: a server that inherited the write end of its
// own stdin would never see end of input.
bool makePipe(int ends[2]) {
  if (::pipe(ends) != 0)
    return false;
  ::fcntl(ends[0], F_SETFD, FD_CLOEXEC);
  ::fcntl(ends[1], F_SETFD, FD_CLOEXEC);
  return true;
}

int millisecondsUntil(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

} // namespace

bool stopRequested() {
  return gStop != 0;
}

void installStopHandlers() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0; // no SA_RESTART: a blocked poll must return so we can clean up
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

std::variant<std::unique_ptr<Child>, std::string> Child::spawn(const std::vector<std::string>& argv,
                                                               Pipes pipes) {
  std::unique_ptr<Child> child(new Child);
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  auto closeAll = [&] {
    for (int* fd : {&in[0], &in[1], &out[0], &out[1], &err[0], &err[1]})
      closeFd(*fd);
  };
  if ((pipes.in && !makePipe(in)) || (pipes.out && !makePipe(out)) ||
      (pipes.err && !makePipe(err))) {
    closeAll();
    return std::string("cannot create pipes: ") + std::strerror(errno);
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (pipes.in)
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  else
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (pipes.out)
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  if (pipes.err)
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);

  std::vector<char*> args;
  for (const auto& arg : argv)
    args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  // A bare name is looked up in PATH, as a shell would.
  int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    closeAll();
    return "cannot start " + argv[0] + ": " + std::strerror(rc);
  }

  child->pid_ = pid;
  child->in_ = in[1];
  child->fds_[Stdout] = out[0];
  child->fds_[Stderr] = err[0];
  in[1] = out[0] = err[0] = -1; // now owned by the child object
  closeAll();                   // the child's ends
  return child;
}

Child::~Child() {
  closeInput();
  closeStream(Stdout);
  closeStream(Stderr);
  if (pid_ < 0 || reaped_)
    return;
  // Ignore the stop flag here: this is the clean-up that the flag exists for.
  ::kill(pid_, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    pid_t done = ::waitpid(pid_, nullptr, WNOHANG);
    if (done == pid_ || (done < 0 && errno != EINTR))
      return; // reaped, or not ours to wait for any more
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(pid_, SIGKILL);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

bool Child::writeAll(std::string_view bytes) {
  while (!bytes.empty()) {
    if (in_ < 0)
      return false;
    ssize_t n = ::write(in_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR && !stopRequested())
      continue;
    if (n <= 0)
      return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

void Child::closeInput() {
  closeFd(in_);
}

void Child::closeStream(Stream stream) {
  closeFd(fds_[stream]);
}

Line Child::readLine(Stream stream, Clock::time_point deadline) {
  std::string& buffer = buffers_[stream];
  while (true) {
    if (auto end = buffer.find('\n'); end != std::string::npos) {
      std::string line = buffer.substr(0, end);
      buffer.erase(0, end + 1);
      return {std::move(line), ""};
    }
    if (fds_[stream] < 0)
      return {std::nullopt, "end of output"};
    pollfd ready{fds_[stream], POLLIN, 0};
    int rc = ::poll(&ready, 1, millisecondsUntil(deadline));
    if (stopRequested())
      return {std::nullopt, "interrupted"};
    if (rc < 0 && errno == EINTR)
      continue;
    if (rc < 0)
      return {std::nullopt, std::string("poll failed: ") + std::strerror(errno)};
    if (rc == 0)
      return {std::nullopt, "timed out"};
    char chunk[4096];
    ssize_t n = ::read(fds_[stream], chunk, sizeof chunk);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      closeStream(stream);
      return {std::nullopt, buffer.empty() ? "end of output" : "end of output mid-line"};
    }
    buffer.append(chunk, static_cast<std::size_t>(n));
  }
}

std::string Child::drain(Stream stream) {
  std::string text = std::move(buffers_[stream]);
  buffers_[stream].clear();
  while (fds_[stream] >= 0) {
    pollfd ready{fds_[stream], POLLIN, 0};
    if (::poll(&ready, 1, 0) <= 0)
      break;
    char chunk[4096];
    ssize_t n = ::read(fds_[stream], chunk, sizeof chunk);
    if (n <= 0) {
      closeStream(stream);
      break;
    }
    text.append(chunk, static_cast<std::size_t>(n));
  }
  return text;
}

void Child::sendSignal(int signal) {
  if (pid_ >= 0 && !reaped_)
    ::kill(pid_, signal);
}

std::optional<int> Child::waitExit(Clock::time_point deadline) {
  if (reaped_ || pid_ < 0)
    return std::nullopt;
  while (true) {
    int status = 0;
    pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      reaped_ = true;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }
    if (done < 0 && errno != EINTR) {
      reaped_ = true; // ECHILD: nothing left to wait for, and the pid must not be signalled
      return std::nullopt;
    }
    if (stopRequested() || Clock::now() >= deadline)
      return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

} // namespace vantrel::demo
