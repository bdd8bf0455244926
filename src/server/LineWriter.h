#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::server {

// The serial output queue: one whole line per write, lines never interleave, and they leave in
// the order their writers come. Callers serialise before they come here.
//
// A tool call's answer may be a long line that takes a slow host seconds to read. The reading
// thread must not wait for it: short lines (its own answers, and tool answers of up to 64 KiB,
// which a lone call may give on its context) are left to the writer that holds the output, which
// writes them right after its own line, before it returns. So every line is on its way once
// send() has returned to whoever must know (a tool call's writer, before the call leaves the
// pending group), and the drain at end of input cannot miss one.
class LineWriter {
public:
  // Writes all of `bytes`, or gives up when the peer has gone; returns false if it gave up.
  using Sink = std::function<bool(std::string_view bytes)>;

  // `out` takes the response lines; `err` the diagnostics.
  LineWriter(Sink out, Sink err) : out_(std::move(out)), err_(std::move(err)) {}
  static Sink fdSink(int fd);

  // For the reading thread: appends "\n" to `line` and writes it now if the output is free, else
  // leaves it to the writer holding the output. Without a line (the response could not be
  // serialised) writes the diagnostic to `err` instead. Any thread.
  void send(std::optional<std::string> line);
  // For a tool call's answer: one line given in pieces, its line feed included. A short one is
  // joined and sent as the reading thread's are; a long one waits for the output and holds it
  // until all of it (and the lines left to it) is out, piece by piece. Any thread.
  void send(const std::vector<std::string_view>& pieces);
  // One diagnostic line on `err`, outside the queue. Any thread.
  void diagnose(std::string_view line);

private:
  // Takes the output, waiting for it; or, with `wait` false, leaves `line` to the writer holding
  // it and returns false.
  bool acquire(std::string* line, bool wait);
  // Writes `line` (its line feed included) now if the output is free, else leaves it.
  void writeOrLeave(std::string line);
  // Writes the lines left meanwhile, then lets the output go.
  void release();

  std::mutex lock_; // guards writing_ and left_ only; never held across a write
  std::condition_variable free_;
  bool writing_ = false;
  std::deque<std::string> left_;
  Sink out_;
  Sink err_;
};

} // namespace vantrel::server
