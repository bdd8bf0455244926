#include "bridge/FileBytes.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantrel::bridge {
namespace {

class FileDescriptor {
public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0)
      ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

private:
  int fd_;
};

} // namespace

std::optional<std::string> readWholeFile(const std::string& path) {
  // O_NONBLOCK keeps a FIFO planted at the path from blocking the open; regular files ignore it.
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (file.get() < 0)
    return std::nullopt;
  struct stat info {};
  if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode))
    return std::nullopt;

  std::string bytes;
  if (info.st_size > 0)
    bytes.reserve(static_cast<std::size_t>(info.st_size));
  char chunk[16384];
  for (;;) {
    ssize_t got = ::read(file.get(), chunk, sizeof chunk);
    if (got > 0) {
      bytes.append(chunk, static_cast<std::size_t>(got));
    } else if (got == 0) {
      return bytes;
    } else if (errno != EINTR) {
      return std::nullopt;
    }
  }
}

} // namespace vantrel::bridge
