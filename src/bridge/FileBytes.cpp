#include "bridge/FileBytes.h"

#include <cerrno>
#include <cstdint>
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
    // The size the file had a moment ago: once that much has come, the file was read whole and
    // the read that would confirm its end is spared (bridge.token is read twice per call). A file
    // that grew meanwhile shows it by filling the byte past that size.
    const auto statedSize = static_cast<std::uint64_t>(info.st_size);
    char chunk[16384];
    for (;;) {
      const std::size_t room =
          read.bytes.size() <= statedSize && statedSize - read.bytes.size() < sizeof chunk
              ? static_cast<std::size_t>(statedSize - read.bytes.size()) + 1
              : sizeof chunk;
      ssize_t got = ::read(file.get(), chunk, room);
      if (got > 0) {
        if (read.bytes.size() + static_cast<std::size_t>(got) > maxBytes)
          return failed(FileRead::Status::tooLarge);
        read.bytes.append(chunk, static_cast<std::size_t>(got));
        if (read.bytes.size() == statedSize && static_cast<std::size_t>(got) < room)
          return read;
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
