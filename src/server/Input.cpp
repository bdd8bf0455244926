#include "server/Input.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#if defined(__linux__)
#include <sys/epoll.h>
#elif defined(__APPLE__)
#include <sys/event.h>
#include <sys/time.h>
#endif

namespace vantrel::server {
namespace {
constexpr std::size_t kReaderStack = 256 * 1024;
} // namespace

Input Input::descriptor(int fd) {
  Input input;
  input.fd_ = fd;
  struct stat info {};
  const bool waitable =
      ::fstat(fd, &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode));
  input.kind_ = waitable ? Kind::waited : Kind::blocking;
  return input;
}

Input Input::bytes(std::string bytes) {
  Input input;
  input.kind_ = Kind::bytes;
  input.bytes_ = std::move(bytes);
  return input;
}

ssize_t readWaiting(int fd, char* buffer, std::size_t size, WaitMethod method) {
  for (;;) {
    ssize_t n = ::read(fd, buffer, size);
    if (n >= 0)
      return n;
    if (errno == EAGAIN || errno == EWOULDBLOCK)
      waitReady(fd, Readiness::readable, method); // no data yet is not the end of input
    else if (errno != EINTR)
      return -1;
  }
}

bool moreWaiting(int fd, std::size_t got, std::size_t room) {
  if (got < room)
    return false;
  int waiting = 0;
  return ::ioctl(fd, FIONREAD, &waiting) == 0 && waiting > 0;
}

std::optional<InputWatch> InputWatch::open(int input) {
#if defined(__linux__)
  int watch = ::epoll_create1(EPOLL_CLOEXEC);
  if (watch < 0)
    return std::nullopt;
  // Level-triggered: the watch stays readable for as long as the input is.
  epoll_event event{};
  event.events = EPOLLIN;
  if (::epoll_ctl(watch, EPOLL_CTL_ADD, input, &event) != 0) {
    int error = errno;
    ::close(watch);
    errno = error;
    return std::nullopt;
  }
  return InputWatch(watch);
#elif defined(__APPLE__)
  int watch = ::kqueue();
  if (watch < 0)
    return std::nullopt;
  ::fcntl(watch, F_SETFD, FD_CLOEXEC);
  struct kevent change;
  EV_SET(&change, input, EVFILT_READ, EV_ADD, 0, 0, nullptr);
  if (::kevent(watch, &change, 1, nullptr, 0, nullptr) != 0) {
    int error = errno;
    ::close(watch);
    errno = error;
    return std::nullopt;
  }
  return InputWatch(watch);
#else
  (void)input;
  errno = ENOSYS;
  return std::nullopt;
#endif
}

InputWatch::InputWatch(InputWatch&& other) noexcept : watch_(std::exchange(other.watch_, -1)) {
}

InputWatch::~InputWatch() {
  if (watch_ >= 0)
    ::close(watch_);
}

bool InputWatch::readable() {
#if defined(__linux__)
  epoll_event event{};
  int n;
  while ((n = ::epoll_wait(watch_, &event, 1, 0)) < 0 && errno == EINTR) {
  }
  return n != 0; // an error too: the read then says what is wrong
#elif defined(__APPLE__)
  // kqueue keeps an event pending until it is collected: collecting it is what asks afresh.
  struct kevent event;
  const timespec now{0, 0};
  int n;
  while ((n = ::kevent(watch_, nullptr, 0, &event, 1, &now)) < 0 && errno == EINTR) {
  }
  return n != 0;
#else
  return true;
#endif
}

BlockingReader::~BlockingReader() {
  if (thread_)
    ::pthread_join(*thread_, nullptr);
}

bool BlockingReader::start(int fd, Deliver deliver) {
  fd_ = fd;
  deliver_ = std::move(deliver);
  pthread_attr_t attr;
  ::pthread_attr_init(&attr);
  ::pthread_attr_setstacksize(&attr, kReaderStack);
  pthread_t thread;
  const bool started = ::pthread_create(&thread, &attr, &BlockingReader::run, this) == 0;
  ::pthread_attr_destroy(&attr);
  if (started)
    thread_ = thread;
  return started;
}

void* BlockingReader::run(void* self) {
  static_cast<BlockingReader*>(self)->readAll();
  return nullptr;
}

void BlockingReader::readAll() {
  const WaitMethod method = waitMethodFor(fd_);
  // On this thread's own stack (kReaderStack): a thread_local buffer would be made, and its
  // pages touched, in every thread of the process.
  char buffer[kInputPiece];
  for (;;) {
    {
      std::unique_lock lock(lock_);
      room_.wait(lock, [this] { return untaken_ < kAhead; });
    }
    Piece piece;
    ssize_t n = readWaiting(fd_, buffer, kInputPiece, method);
    try {
      if (n < 0) {
        piece.ended = true;
        piece.failure = std::generic_category().message(errno);
      } else {
        piece.bytes.assign(buffer, static_cast<std::size_t>(n));
        piece.ended = n == 0;
      }
    } catch (const std::exception& e) {
      piece = Piece{{}, true, std::string(e.what())};
    }
    {
      std::lock_guard lock(lock_);
      ++untaken_; // before it is handed over: the taker may take it at once
    }
    const bool ended = piece.ended;
    deliver_(std::move(piece));
    if (ended)
      return;
  }
}

void BlockingReader::taken() {
  {
    std::lock_guard lock(lock_);
    --untaken_;
  }
  room_.notify_one();
}

bool BlockingReader::moreDelivered() const {
  std::lock_guard lock(lock_);
  return untaken_ > 1;
}

} // namespace vantrel::server
