#include "server/LineReader.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <poll.h>
#include <unistd.h>

namespace vantrel::server {
namespace {
constexpr std::size_t kChunk = 64 * 1024;
}

LineReader LineReader::fromFd(int fd) {
  return LineReader([fd](char* buffer, std::size_t size) -> ssize_t {
    for (;;) {
      ssize_t n = ::read(fd, buffer, size);
      if (n >= 0)
        return n;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        // A host may hand us a non-blocking pipe: no data yet is not the end of input.
        pollfd in{fd, POLLIN, 0};
        if (::poll(&in, 1, -1) >= 0 || errno == EINTR)
          continue;
        return -1;
      }
      if (errno != EINTR)
        return n;
    }
  });
}

LineReader LineReader::fromString(std::string bytes) {
  auto data = std::make_shared<std::string>(std::move(bytes));
  auto offset = std::make_shared<std::size_t>(0);
  return LineReader([data, offset](char* buffer, std::size_t size) -> ssize_t {
    std::size_t n = std::min(size, data->size() - *offset);
    std::memcpy(buffer, data->data() + *offset, n);
    *offset += n;
    return static_cast<ssize_t>(n);
  });
}

bool LineReader::nextBuffered(std::string& line) {
  auto newline = buffer_.find('\n', scanned_);
  if (newline == std::string::npos) {
    scanned_ = buffer_.size();
    if (!ended_ || start_ >= buffer_.size())
      return false;
    line.assign(buffer_, start_);
    start_ = scanned_ = buffer_.size();
    return true;
  }
  std::size_t end = newline;
  if (end > start_ && buffer_[end - 1] == '\r')
    --end;
  line.assign(buffer_, start_, end - start_);
  start_ = scanned_ = newline + 1;
  return true;
}

void LineReader::append(std::string_view bytes) {
  // Drop returned lines first, so a long session does not grow the buffer.
  if (start_ > 0) {
    buffer_.erase(0, start_);
    scanned_ -= start_;
    start_ = 0;
  }
  buffer_.append(bytes);
}

bool LineReader::readMore() {
  if (ended_ || !read_)
    return false;
  // Into a fixed chunk, then appended: growing the buffer first would fill it with zeros on
  // every read, which cost a third of all the work of answering a call.
  char chunk[kChunk];
  ssize_t n = read_(chunk, kChunk);
  if (n > 0)
    append(std::string_view(chunk, static_cast<std::size_t>(n)));
  else
    ended_ = true;
  return n > 0;
}

bool LineReader::next(std::string& line) {
  for (;;) {
    if (nextBuffered(line))
      return true;
    if (ended_ || !readMore()) {
      ended_ = true;
      return nextBuffered(line);
    }
  }
}

} // namespace vantrel::server
