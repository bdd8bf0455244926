#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vantrel::server {

// Splits the bytes of standard input into lines, as they arrive in pieces of any size. The
// terminator ("\n" or "\r\n") is removed; once the input has ended, a last line without one is
// still returned. Lines may be of any length that memory holds: one that memory cannot hold is
// dropped to its end and reported as such, and the lines after it are read as ever. Pure; one
// thread at a time.
class LineSplitter {
public:
  enum class Next {
    none,    // no whole line is buffered (yet)
    line,    // `line` holds the next one
    dropped, // a line too long to hold has ended; nothing of it is kept
  };

  // Never throws: a line that outgrows memory is dropped instead. Take every line next() gives
  // before appending more.
  void append(std::string_view bytes) noexcept;
  void end() noexcept;
  bool ended() const { return ended_; }

  Next next(std::string& line) noexcept;
  // Whether next() would give a line now.
  bool hasLine() noexcept;

private:
  std::string buffer_;
  std::size_t start_ = 0;   // first byte of buffer_ not yet returned
  std::size_t scanned_ = 0; // buffer_ holds no line feed between start_ and here
  bool ended_ = false;
  bool dropping_ = false; // the current line outgrew memory: skip to its line feed
  bool dropped_ = false;  // ... and it has ended: say so once
};

} // namespace vantrel::server
