#include "server/LineSplitter.h"

#include <new>
#include <utility>

namespace vantrel::server {

void LineSplitter::append(std::string_view bytes) noexcept {
  if (dropping_) {
    auto newline = bytes.find('\n');
    if (newline == std::string_view::npos)
      return;
    dropping_ = false;
    dropped_ = true;
    bytes.remove_prefix(newline + 1);
  }
  try {
    // Drop returned lines first, so a long session does not grow the buffer.
    if (start_ > 0) {
      buffer_.erase(0, start_);
      scanned_ -= start_;
      start_ = 0;
    }
    buffer_.append(bytes);
  } catch (const std::exception&) {
    // The line being read cannot be held: what has come of it goes, the rest of it is skipped.
    // (Its reader takes every whole line before appending more, so nothing else is lost.)
    std::string().swap(buffer_);
    start_ = scanned_ = 0;
    auto newline = bytes.find('\n');
    if (newline == std::string_view::npos) {
      dropping_ = true;
      return;
    }
    dropped_ = true;
    append(bytes.substr(newline + 1));
  }
}

void LineSplitter::end() noexcept {
  ended_ = true;
  if (std::exchange(dropping_, false))
    dropped_ = true; // the line that could not be held ended with the input
}

bool LineSplitter::hasLine() noexcept {
  if (dropped_)
    return true;
  auto newline = buffer_.find('\n', scanned_);
  if (newline != std::string::npos)
    return true;
  scanned_ = buffer_.size();
  return ended_ && start_ < buffer_.size();
}

LineSplitter::Next LineSplitter::next(std::string& line) noexcept {
  if (dropped_) {
    dropped_ = false;
    return Next::dropped;
  }
  auto newline = buffer_.find('\n', scanned_);
  std::size_t end = newline;
  if (newline == std::string::npos) {
    scanned_ = buffer_.size();
    if (!ended_ || start_ >= buffer_.size())
      return Next::none;
    end = buffer_.size();
  } else if (end > start_ && buffer_[end - 1] == '\r') {
    --end;
  }
  try {
    line.assign(buffer_, start_, end - start_);
  } catch (const std::exception&) {
    line.clear(); // no room for a copy of it: it is answered as a line that cannot be read
    start_ = scanned_ = newline == std::string::npos ? buffer_.size() : newline + 1;
    return Next::dropped;
  }
  start_ = scanned_ = newline == std::string::npos ? buffer_.size() : newline + 1;
  return Next::line;
}

} // namespace vantrel::server
