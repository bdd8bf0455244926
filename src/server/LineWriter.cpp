#include "server/LineWriter.h"

#include "common/WriteAll.h"

namespace vantrel::server {

LineWriter::Sink LineWriter::fdSink(int fd) {
  // A lost line is dropped with the agent host that has gone; one half-written would run into
  // the next response.
  return [fd](std::string_view bytes) { return writeAll(fd, bytes); };
}

bool LineWriter::acquire(std::string* line, bool wait) {
  std::unique_lock lock(lock_);
  if (writing_ && !wait) {
    left_.push_back(std::move(*line));
    return false;
  }
  free_.wait(lock, [this] { return !writing_; });
  writing_ = true;
  return true;
}

void LineWriter::release() {
  for (;;) {
    std::deque<std::string> left;
    {
      std::lock_guard lock(lock_);
      if (left_.empty()) {
        writing_ = false;
        free_.notify_one();
        return;
      }
      left.swap(left_);
    }
    for (const auto& line : left)
      out_(line);
  }
}

void LineWriter::send(const std::vector<std::string_view>& pieces) {
  // Up to this size a line is joined first: one write costs less than several.
  constexpr std::size_t kJoinUpTo = 64 * 1024;
  std::size_t size = 0;
  for (auto piece : pieces)
    size += piece.size();
  if (size <= kJoinUpTo) {
    std::string joined;
    joined.reserve(size);
    for (auto piece : pieces)
      joined.append(piece);
    writeOrLeave(std::move(joined));
    return;
  }
  acquire(nullptr, true);
  for (auto piece : pieces) {
    if (!out_(piece))
      break; // the agent host has gone: the rest of the line goes with it
  }
  release();
}

void LineWriter::writeOrLeave(std::string line) {
  if (!acquire(&line, false))
    return; // the writer holding the output writes it next
  out_(line);
  release();
}

void LineWriter::send(std::optional<std::string> line) {
  if (!line) {
    diagnose("vantrel-mcp: 内部错误：响应序列化失败\n");
    return;
  }
  line->push_back('\n');
  writeOrLeave(std::move(*line));
}

void LineWriter::diagnose(std::string_view line) {
  err_(line);
}

} // namespace vantrel::server
