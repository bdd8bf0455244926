#include "common/WriteAll.h"

#include "common/WaitReady.h"

#include <cerrno>
#include <cstddef>
#include <unistd.h>

namespace vantrel {

bool writeAll(int fd, std::string_view bytes, std::optional<WaitMethod> method) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n >= 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // Only a descriptor someone made non-blocking gets here: find out how to wait on it.
      if (!method)
        method = waitMethodFor(fd);
      waitReady(fd, Readiness::writable, *method); // the next write() says if the reader is gone
    } else if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

} // namespace vantrel
