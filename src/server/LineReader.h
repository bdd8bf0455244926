#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <sys/types.h>

namespace vantrel::server {

// Splits a byte stream into lines. The terminator ("\n" or "\r\n") is removed; a last line
// without one is still returned. Lines may be of any length.
class LineReader {
public:
  // Reads up to `size` bytes into `buffer`; returns the count, 0 at end of input, -1 on error.
  using ReadFn = std::function<ssize_t(char* buffer, std::size_t size)>;

  explicit LineReader(ReadFn read) : read_(std::move(read)) {}
  static LineReader fromFd(int fd);
  static LineReader fromString(std::string bytes);

  // False once the input has ended and every line has been returned.
  bool next(std::string& line);

private:
  ReadFn read_;
  std::string buffer_;
  std::size_t start_ = 0; // first byte of buffer_ not yet returned
  bool ended_ = false;
};

} // namespace vantrel::server
