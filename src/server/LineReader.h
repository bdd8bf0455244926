#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace vantrel::server {

// Splits a byte stream into lines. The terminator ("\n" or "\r\n") is removed; a last line
// without one is still returned. Lines may be of any length. The bytes come either from a read
// function (next() pulls them) or from whoever waits for them elsewhere (append() and end()).
// One thread at a time.
class LineReader {
public:
  // Reads up to `size` bytes into `buffer`; returns the count, 0 at end of input, -1 on error.
  using ReadFn = std::function<ssize_t(char* buffer, std::size_t size)>;

  explicit LineReader(ReadFn read) : read_(std::move(read)) {}
  // For bytes that only come through append().
  LineReader() = default;
  static LineReader fromFd(int fd);
  static LineReader fromString(std::string bytes);

  // The next line, reading through the read function as needed. False once the input has ended
  // and every line has been returned.
  bool next(std::string& line);

  // The next whole line among the bytes already in, without reading; once the input has ended,
  // also the last line without a terminator.
  bool nextBuffered(std::string& line);
  void append(std::string_view bytes);
  void end() { ended_ = true; }
  bool ended() const { return ended_; }

  // Reads once through the read function into the buffer; false once the input has ended.
  bool readMore();

private:
  ReadFn read_;
  std::string buffer_;
  std::size_t start_ = 0;   // first byte of buffer_ not yet returned
  std::size_t scanned_ = 0; // buffer_ holds no line feed between start_ and here
  bool ended_ = false;
};

} // namespace vantrel::server
