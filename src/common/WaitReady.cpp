#include "common/WaitReady.h"

#include <poll.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/time.h>

namespace vantrel {

WaitMethod waitMethodFor(Platform platform, mode_t mode, int fd) {
  const bool device = S_ISCHR(mode) || S_ISBLK(mode);
  if (platform == Platform::macOS && device && fd >= 0 && fd < FD_SETSIZE)
    return WaitMethod::select;
  return WaitMethod::poll;
}

WaitMethod waitMethodFor(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0)
    return WaitMethod::poll; // a failing descriptor: the read or write says so at once
  return waitMethodFor(kThisPlatform, info.st_mode, fd);
}

bool waitReady(int fd, Readiness readiness, WaitMethod method, int timeoutMs) {
  const bool read = readiness == Readiness::readable;
  if (method == WaitMethod::poll) {
    pollfd wanted{fd, static_cast<short>(read ? POLLIN : POLLOUT), 0};
    return ::poll(&wanted, 1, timeoutMs) > 0;
  }
  fd_set set;
  FD_ZERO(&set);
  FD_SET(fd, &set);
  timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  return ::select(fd + 1, read ? &set : nullptr, read ? nullptr : &set, nullptr,
                  timeoutMs < 0 ? nullptr : &timeout) > 0;
}

} // namespace vantrel
