#include "ScriptedPeer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vantrel::testing {
namespace {

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0; // macOS: SO_NOSIGPIPE on the socket instead
#endif

void nonBlocking(int fd) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// The length of the request (head, and body by Content-Length when `withBody`) at the start of
// `bytes`, or nothing while it is incomplete. Clients end every line in CRLF.
std::optional<std::size_t> requestLength(const std::string& bytes, bool withBody,
                                         std::size_t* headLength = nullptr) {
  const auto end = bytes.find("\r\n\r\n");
  if (end == std::string::npos)
    return std::nullopt;
  const std::size_t head = end + 4;
  if (headLength != nullptr)
    *headLength = head;
  if (!withBody)
    return head;
  std::size_t length = 0;
  for (std::size_t at = bytes.find("\r\n") + 2; at < end;) {
    const auto next = bytes.find("\r\n", at);
    const std::string line = bytes.substr(at, next - at);
    if (::strncasecmp(line.c_str(), "content-length:", 15) == 0)
      length = std::stoul(line.substr(15));
    at = next + 2;
  }
  if (bytes.size() < head + length)
    return std::nullopt;
  return head + length;
}

PeerRequest parse(const std::string& head, int connection) {
  PeerRequest request;
  request.connection = connection;
  std::size_t at = 0;
  bool first = true;
  for (auto next = head.find("\r\n"); next != std::string::npos && next > at;
       at = next + 2, next = head.find("\r\n", at)) {
    std::string line = head.substr(at, next - at);
    if (!first) {
      request.headerLines.push_back(std::move(line));
      continue;
    }
    first = false;
    const auto space = line.find(' ');
    request.method = line.substr(0, space);
    request.target = line.substr(space + 1, line.rfind(' ') - space - 1);
  }
  return request;
}

} // namespace

ScriptedPeer::ScriptedPeer(std::vector<Step> script) : script_(std::move(script)) {
  moved();
  listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  int fds[2];
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::listen(listener_, 16) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
      ::pipe(fds) != 0) {
    const std::string why = std::strerror(errno);
    if (listener_ >= 0)
      ::close(listener_);
    throw std::runtime_error("scripted peer cannot listen: " + why);
  }
  port_ = ntohs(address.sin_port);
  nonBlocking(listener_);
  wakeRead_ = fds[0];
  wakeWrite_ = fds[1];
  thread_ = std::thread([this] { run(); });
}

ScriptedPeer::~ScriptedPeer() {
  finish();
}

PeerRecord ScriptedPeer::finish() {
  if (!thread_.joinable())
    return record_;
  stopping_ = true;
  char wake = 1;
  (void)!::write(wakeWrite_, &wake, 1);
  thread_.join();
  for (auto& connection : connections_)
    drop(&connection, false);
  for (int fd : {listener_, wakeRead_, wakeWrite_})
    ::close(fd);
  record_.connections = accepted_;
  return record_;
}

int ScriptedPeer::marks() const {
  std::lock_guard lock(marksLock_);
  return marks_;
}

bool ScriptedPeer::waitForMarks(int count, Clock::time_point deadline) const {
  std::unique_lock lock(marksLock_);
  return marked_.wait_until(lock, deadline, [&] { return marks_ >= count; });
}

void ScriptedPeer::moved() {
  lastMoved_ = Clock::now().time_since_epoch().count();
}

void ScriptedPeer::run() {
  for (const auto& step : script_) {
    if (!play(step))
      return;
  }
  record_.scriptEnded = true;
  // Hold every connection as it is until finish(): what happens next is the client's doing.
  pollfd wake{wakeRead_, POLLIN, 0};
  while (!stopping_)
    ::poll(&wake, 1, -1);
}

bool ScriptedPeer::play(const Step& step) {
  Connection* current =
      current_ >= 0 && connections_[current_].fd >= 0 ? &connections_[current_] : nullptr;
  switch (step.kind) {
  case Step::Kind::read:
  case Step::Kind::readHead:
    return readRequest(step.kind == Step::Kind::read);
  case Step::Kind::send:
    if (current != nullptr)
      sendAll(*current, step.bytes);
    return !stopping_;
  case Step::Kind::pause:
    return sleepFor(step.gap);
  case Step::Kind::close:
  case Step::Kind::reset:
    drop(current, step.kind == Step::Kind::reset);
    return true;
  case Step::Kind::shutdownWrite:
    if (current != nullptr)
      ::shutdown(current->fd, SHUT_WR);
    return true;
  case Step::Kind::awaitBytes:
    return current == nullptr || awaitReadable(current->fd);
  case Step::Kind::mark: {
    std::lock_guard lock(marksLock_);
    ++marks_;
    marked_.notify_all();
    return true;
  }
  }
  return true;
}

// Reads from every connection, and accepts new ones, until one holds a whole request.
bool ScriptedPeer::readRequest(bool withBody) {
  for (;;) {
    // The current connection first: a request pipelined behind the last one belongs there.
    for (std::size_t k = 0; k < connections_.size(); ++k) {
      const std::size_t i = current_ >= 0 ? (std::size_t(current_) + k) % connections_.size() : k;
      auto& connection = connections_[i];
      std::size_t head = 0;
      const auto length = requestLength(connection.unread, withBody, &head);
      if (!length)
        continue;
      PeerRequest request = parse(connection.unread.substr(0, head), connection.number);
      request.body = connection.unread.substr(head, *length - head);
      connection.unread.erase(0, *length);
      record_.requests.push_back(std::move(request));
      current_ = int(i);
      return true;
    }

    std::vector<pollfd> waits{{wakeRead_, POLLIN, 0}, {listener_, POLLIN, 0}};
    for (const auto& connection : connections_)
      waits.push_back({connection.fd, POLLIN, 0}); // a closed one (-1) is skipped by poll
    if (::poll(waits.data(), waits.size(), -1) < 0 && errno != EINTR)
      return false;
    if (stopping_)
      return false;
    if (waits[1].revents != 0) {
      int fd = ::accept(listener_, nullptr, nullptr);
      if (fd >= 0) {
        nonBlocking(fd);
        int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
#ifdef SO_NOSIGPIPE
        ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
        connections_.push_back(Connection{fd, ++accepted_, {}});
        moved();
      }
    }
    for (std::size_t i = 2; i < waits.size(); ++i) {
      if (waits[i].revents == 0)
        continue;
      auto& connection = connections_[i - 2];
      char buffer[64 * 1024];
      const ssize_t n = ::recv(connection.fd, buffer, sizeof buffer, 0);
      if (n > 0) {
        connection.unread.append(buffer, std::size_t(n));
        moved();
      } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        drop(&connection, false); // the client closed it
      }
    }
  }
}

bool ScriptedPeer::awaitReadable(int fd) {
  pollfd waits[] = {{wakeRead_, POLLIN, 0}, {fd, POLLIN, 0}};
  while (::poll(waits, 2, -1) < 0 && errno == EINTR) {
  }
  return !stopping_;
}

bool ScriptedPeer::sendAll(Connection& connection, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(connection.fd, bytes.data() + sent, bytes.size() - sent, kSendFlags);
    if (n > 0) {
      sent += std::size_t(n);
      moved();
      continue;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd waits[] = {{wakeRead_, POLLIN, 0}, {connection.fd, POLLOUT, 0}};
      ::poll(waits, 2, -1);
      if (stopping_)
        return false;
    } else if (errno != EINTR) {
      return false; // the client has gone; what it missed is its outcome
    }
  }
  return true;
}

bool ScriptedPeer::sleepFor(std::chrono::milliseconds gap) {
  const auto until = Clock::now() + gap;
  pollfd wake{wakeRead_, POLLIN, 0};
  for (auto left = gap; left.count() > 0 && !stopping_;
       left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()))
    ::poll(&wake, 1, int(left.count()));
  return !stopping_;
}

void ScriptedPeer::drop(Connection* connection, bool abort) {
  if (connection == nullptr || connection->fd < 0)
    return;
  if (abort) {
    linger now{1, 0};
    ::setsockopt(connection->fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
  }
  ::close(connection->fd);
  connection->fd = -1;
  connection->unread.clear(); // closed without reading: what it held is lost with it
}

} // namespace vantrel::testing
