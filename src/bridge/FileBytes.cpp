#include "bridge/FileBytes.h"

#include <cerrno>
#include <fcntl.h>
#include <new>
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

FileRead failed(FileRead::Status status, int error = 0) {
  return FileRead{status, {}, error};
}

FileRead openFailed(int error) {
  if (isResourceShortage(error))
    return failed(FileRead::Status::noResources, error);
  if (error == ENOENT || error == ENOTDIR)
    return failed(FileRead::Status::missing, error);
  return failed(FileRead::Status::unreadable, error);
}

} // namespace

bool isResourceShortage(int error) {
  return error == EMFILE || error == ENFILE || error == ENOMEM || error == ENOBUFS;
}

FileRead readFileBytes(const std::string& path, std::size_t maxBytes) {
  try {
    // O_NONBLOCK keeps a FIFO planted at the path from blocking the open; regular files ignore it.
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0)
      return openFailed(errno);
    struct stat info {};
    if (::fstat(file.get(), &info) != 0)
      return failed(FileRead::Status::unreadable, errno);
    if (!S_ISREG(info.st_mode))
      return failed(FileRead::Status::notRegular);

    FileRead read{FileRead::Status::ok, {}, 0};
    char chunk[16384];
    for (;;) {
      ssize_t got = ::read(file.get(), chunk, sizeof chunk);
      if (got > 0) {
        if (read.bytes.size() + static_cast<std::size_t>(got) > maxBytes)
          return failed(FileRead::Status::tooLarge);
        read.bytes.append(chunk, static_cast<std::size_t>(got));
      } else if (got == 0) {
        return read;
      } else if (errno != EINTR) {
        return isResourceShortage(errno) ? failed(FileRead::Status::noResources, errno)
                                         : failed(FileRead::Status::unreadable, errno);
      }
    }
  } catch (const std::bad_alloc&) {
    return failed(FileRead::Status::noResources, ENOMEM);
  }
}

} // namespace vantrel::bridge
