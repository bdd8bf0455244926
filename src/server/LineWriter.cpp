#include "server/LineWriter.h"

#include "common/WriteAll.h"

namespace vantrel::server {

LineWriter::Sink LineWriter::fdSink(int fd) {
  // A lost line is dropped with the agent host that has gone; one half-written would run into
  // the next response.
  return [fd](std::string_view bytes) { return writeAll(fd, bytes); };
}

void LineWriter::send(const std::vector<std::string_view>& pieces) {
  // Up to this size a line is joined first: one write costs less than several.
  constexpr std::size_t kJoinUpTo = 64 * 1024;
  std::size_t size = 0;
  for (auto piece : pieces)
    size += piece.size();
  if (size <= kJoinUpTo) {
    std::string line;
    line.reserve(size);
    for (auto piece : pieces)
      line.append(piece);
    std::lock_guard lock(outLock_);
    out_(line);
    return;
  }
  std::lock_guard lock(outLock_);
  for (auto piece : pieces) {
    if (!out_(piece))
      return; // the agent host has gone: the rest of the line goes with it
  }
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
