#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel::driver {

// Cuts a byte stream into lines at "\n" as the bytes arrive. Each byte is searched once, so a
// 64 MB line costs one pass however many pieces it came in. Not thread-safe.
class LineSplitter {
public:
  void append(std::string_view bytes) { buffer_.append(bytes); }
  // The next whole line without its "\n", or nothing until more bytes arrive.
  std::optional<std::string> next();
  // Everything not yet returned as a line (whole lines included), leaving the splitter empty.
  std::string takeAll();
  bool empty() const { return start_ == buffer_.size(); }

private:
  std::string buffer_;
  std::size_t start_ = 0;   // where the first line not yet returned begins
  std::size_t scanned_ = 0; // bytes before this hold no "\n" past start_
};

} // namespace vantrel::driver
