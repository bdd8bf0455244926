#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::server {

// The serial output queue: one whole line per write, lines never interleave. Holds its lock
// only for the write itself; callers serialise before they come here.
class LineWriter {
public:
  // Writes all of `bytes`, or gives up when the peer has gone; returns false if it gave up.
  using Sink = std::function<bool(std::string_view bytes)>;

  // `out` takes the response lines; `err` the one diagnostic line.
  LineWriter(Sink out, Sink err) : out_(std::move(out)), err_(std::move(err)) {}
  static Sink fdSink(int fd);

  // Appends "\n" to `line` and writes it whole; a line the peer can no longer take is dropped.
  // Without a line (the response could not be serialised) writes the diagnostic to `err`
  // instead, outside the queue. Any thread; returns once written.
  void send(std::optional<std::string> line);
  // Writes one line given in pieces, its line feed included: a short line in one write, a long
  // one piece by piece, holding the queue until all of it is out.
  void send(const std::vector<std::string_view>& pieces);

private:
  std::mutex outLock_; // guards out_: one line at a time
  Sink out_;
  Sink err_;
};

} // namespace vantrel::server
