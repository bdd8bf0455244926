#include "driver/LineSplitter.h"

#include <algorithm>

namespace vantrel::driver {

std::optional<std::string> LineSplitter::next() {
  std::size_t from = std::max(scanned_, start_);
  std::size_t end = buffer_.find('\n', from);
  if (end == std::string::npos) {
    scanned_ = buffer_.size();
    // Drop what was returned once it outweighs what is left, so the buffer stays small.
    if (start_ > 0 && start_ >= buffer_.size() - start_) {
      buffer_.erase(0, start_);
      scanned_ -= start_;
      start_ = 0;
    }
    return std::nullopt;
  }
  std::string line = buffer_.substr(start_, end - start_);
  start_ = end + 1;
  scanned_ = start_;
  if (start_ == buffer_.size()) {
    buffer_.clear();
    start_ = scanned_ = 0;
  }
  return line;
}

std::string LineSplitter::takeAll() {
  std::string rest = buffer_.substr(start_);
  buffer_.clear();
  start_ = scanned_ = 0;
  return rest;
}

} // namespace vantrel::driver
