#include "server/LineWriter.h"

#include "common/WriteAll.h"

namespace vantrel::server {

LineWriter::Sink LineWriter::fdSink(int fd) {
  // A lost line is dropped with the agent host that has gone; one half-written would run into
  // the next response.
  return [fd](std::string_view bytes) { return writeAll(fd, bytes); };
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
