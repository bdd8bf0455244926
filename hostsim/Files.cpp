#include "Files.h"

#include "common/WriteAll.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vantrel::hostsim {
namespace {

std::string errnoText(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

// macOS's fsync leaves data in the drive cache; F_FULLFSYNC is what makes it durable there.
int syncDescriptor(int fd) {
#ifdef F_FULLFSYNC
  if (::fcntl(fd, F_FULLFSYNC) == 0)
    return 0;
#endif
  return ::fsync(fd);
}

} // namespace

std::optional<std::string> writeFileAtomically(const fs::path& path, std::string_view bytes,
                                               mode_t mode, Durability durability) {
  std::error_code ec;
  fs::path dir = path.parent_path().empty() ? fs::path(".") : path.parent_path();
  fs::create_directories(dir, ec);
  if (ec)
    return "cannot create " + dir.string() + ": " + ec.message();

  std::string pattern = (dir / ("." + path.filename().string() + ".XXXXXX")).string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = ::mkstemp(name.data());
  if (fd < 0)
    return errnoText("cannot create a temp file in " + dir.string());
  std::string temp(name.data());

  bool synced = durability == Durability::synced;
  bool written =
      ::fchmod(fd, mode) == 0 && writeAll(fd, bytes) && (!synced || syncDescriptor(fd) == 0);
  std::optional<std::string> failure;
  if (!written)
    failure = errnoText("cannot write " + temp);
  if (::close(fd) != 0 && !failure)
    failure = errnoText("cannot close " + temp);
  if (!failure && ::rename(temp.c_str(), path.c_str()) != 0)
    failure = errnoText("cannot rename onto " + path.string());
  if (failure) {
    ::unlink(temp.c_str());
    return failure;
  }
  // The rename itself lives in the folder; without this a crash could undo it.
  int dirFd = synced ? ::open(dir.c_str(), O_RDONLY) : -1;
  if (dirFd >= 0) {
    syncDescriptor(dirFd);
    ::close(dirFd);
  }
  return std::nullopt;
}

std::optional<std::string> syncFile(const fs::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0)
    return errnoText("cannot open " + path.string());
  bool synced = syncDescriptor(fd) == 0;
  std::optional<std::string> failure;
  if (!synced)
    failure = errnoText("cannot sync " + path.string());
  ::close(fd);
  return failure;
}

std::optional<std::string> readWholeFile(const fs::path& path) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec))
    return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return std::nullopt;
  std::ostringstream out;
  out << in.rdbuf();
  if (in.bad())
    return std::nullopt;
  return std::move(out).str();
}

std::string randomHex(std::size_t bytes) {
  std::vector<unsigned char> raw(bytes);
  std::ifstream in("/dev/urandom", std::ios::binary);
  if (!in.read(reinterpret_cast<char*>(raw.data()), static_cast<std::streamsize>(bytes)))
    return {};
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char b : raw) {
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 15]);
  }
  return hex;
}

std::string isoNow() {
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

} // namespace vantrel::hostsim
