#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace vantrel::server {

// The serial output queue: one whole line per write, lines never interleave. Holds its lock
// only for the write itself; callers serialise before they come here.
class LineWriter {
public:
  // Writes all of `bytes`, or gives up when the peer has gone; returns false if it gave up.
  using Sink = std::function<bool(std::string_view bytes)>;

  explicit LineWriter(Sink sink) : sink_(std::move(sink)) {}
  static Sink fdSink(int fd);

  // Appends "\n" to `line` and writes it whole. A line the peer can no longer take is dropped.
  void writeLine(std::string line);

private:
  std::mutex outLock_; // guards the sink: one line at a time
  Sink sink_;
};

} // namespace vantrel::server
