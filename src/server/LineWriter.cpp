#include "server/LineWriter.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace vantrel::server {

LineWriter::Sink LineWriter::fdSink(int fd) {
  return [fd](std::string_view bytes) {
    // The kernel may take a large line in pieces; keep going until all of it is out.
    while (!bytes.empty()) {
      ssize_t n = ::write(fd, bytes.data(), bytes.size());
      if (n < 0) {
        if (errno == EINTR)
          continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) { // a non-blocking pipe that is full
          pollfd out{fd, POLLOUT, 0};
          if (::poll(&out, 1, -1) >= 0)
            continue;
        }
        return false; // EPIPE and friends: the agent host has gone, the line is lost
      }
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  };
}

void LineWriter::send(std::optional<std::string> line) {
  if (!line) {
    err_("vantrel-mcp: 内部错误：响应序列化失败\n");
    return;
  }
  line->push_back('\n');
  std::lock_guard lock(outLock_);
  out_(*line);
}

} // namespace vantrel::server
