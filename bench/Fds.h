#pragma once

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vantrel::bench {

// Every descriptor the benchmark opens is close-on-exec, so a spawned server inherits only the
// pipes it is given.
inline void setCloexec(int fd) {
  ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
}

inline bool setNonBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// A peer that has gone must not kill the benchmark with SIGPIPE. Linux says so per send, macOS
// per socket.
#ifdef MSG_NOSIGNAL
inline constexpr int kSendFlags = MSG_NOSIGNAL;
inline void setNoSigPipe(int) {
}
#else
inline constexpr int kSendFlags = 0;
inline void setNoSigPipe(int fd) {
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
}
#endif

// pipe2 is not on macOS.
inline bool makePipe(int fds[2]) {
  if (::pipe(fds) != 0)
    return false;
  setCloexec(fds[0]);
  setCloexec(fds[1]);
  return true;
}

} // namespace vantrel::bench
