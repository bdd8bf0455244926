#include "common/WriteAll.h"

#include <cerrno>
#include <cstddef>
#include <poll.h>
#include <unistd.h>

namespace vantrel {

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n >= 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd out{fd, POLLOUT, 0};
      ::poll(&out, 1, -1); // interrupted or not: the next write() says whether the reader is gone
    } else if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

} // namespace vantrel
