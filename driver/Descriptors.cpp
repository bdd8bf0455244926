#include "driver/Descriptors.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

namespace vantrel::driver {

void setCloexec(int fd) {
  ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
}

bool setNonBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool makePipe(int ends[2]) {
#ifdef __linux__
  return ::pipe2(ends, O_CLOEXEC) == 0;
#else
  if (::pipe(ends) != 0)
    return false;
  setCloexec(ends[0]);
  setCloexec(ends[1]);
  return true;
#endif
}

void closeQuietly(int& fd) {
  if (fd >= 0)
    ::close(fd);
  fd = -1;
}

void setNoSigPipe([[maybe_unused]] int fd) {
#ifdef SO_NOSIGPIPE
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
}

int connectLoopback(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0)
    return -1;
  setCloexec(fd);
  setNoSigPipe(fd);
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  while (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (errno == EINTR)
      continue;
    int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

bool sendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), kSendFlags);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

int unusedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  setCloexec(fd);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), size);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(fd);
  return ntohs(address.sin_port);
}

std::optional<std::string> descriptorShortfall(std::uint64_t needed) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
    return "cannot read the open-file limit";
  if (limit.rlim_cur < needed) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    // An unlimited hard limit cannot be taken whole (Linux stops at nr_open, macOS at
    // OPEN_MAX): then ask for what is needed.
    if (::setrlimit(RLIMIT_NOFILE, &raised) != 0 && needed <= limit.rlim_max) {
      raised.rlim_cur = static_cast<rlim_t>(needed);
      ::setrlimit(RLIMIT_NOFILE, &raised);
    }
    ::getrlimit(RLIMIT_NOFILE, &limit);
  }
  if (limit.rlim_cur >= needed)
    return std::nullopt;
  return "needs " + std::to_string(needed) +
         " open files in this process and in the server, but the limit stays at " +
         std::to_string(limit.rlim_cur) + " (hard limit " + std::to_string(limit.rlim_max) +
         "; raise it with ulimit -Hn)";
}

bool openTerminal(int& master, int& slave) {
  master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0)
    return false;
  setCloexec(master);
  const char* name = nullptr;
  if (::grantpt(master) == 0 && ::unlockpt(master) == 0 && (name = ::ptsname(master)) != nullptr)
    slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) {
    const int error = errno;
    closeQuietly(master);
    errno = error;
    return false;
  }
  return true;
}

} // namespace vantrel::driver
