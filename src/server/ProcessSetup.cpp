#include "server/ProcessSetup.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace vantrel::server {
namespace {

constexpr std::size_t kMinLoopStack = 1024 * 1024;
constexpr std::size_t kMaxLoopThreads = 2;
constexpr std::size_t kMaxReportsInFlight = 256;

#ifdef OPEN_MAX
constexpr std::uint64_t kOpenMax = OPEN_MAX;
#else
constexpr std::uint64_t kOpenMax = 0; // only macOS has and needs the cap
#endif

} // namespace

void openMissingStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
      continue;
    // open() takes the lowest free number, which is `fd` itself: the ones below are open.
    int opened = ::open("/dev/null", O_RDWR);
    if (opened != fd && opened >= 0)
      ::close(opened);
  }
}

std::uint64_t wantedOpenFileLimit(Platform platform, std::uint64_t soft, std::uint64_t hard,
                                  std::uint64_t openMax) {
  std::uint64_t wanted = hard;
  if (platform == Platform::macOS && openMax > 0)
    wanted = std::min(wanted, openMax);
  return std::max(wanted, soft);
}

void raiseOpenFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
    return;
  auto wanted = static_cast<rlim_t>(
      wantedOpenFileLimit(kThisPlatform, limit.rlim_cur, limit.rlim_max, kOpenMax));
  if (wanted > limit.rlim_cur) {
    limit.rlim_cur = wanted;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

std::size_t loopStackSize(std::size_t platformDefault) {
  return std::max(platformDefault, kMinLoopStack);
}

std::size_t loopThreadCount(unsigned hardwareThreads) {
  return std::clamp<std::size_t>(hardwareThreads, 2, kMaxLoopThreads + 1) - 1;
}

std::size_t reportsInFlightLimit(std::uint64_t openFileLimit) {
  return static_cast<std::size_t>(
      std::clamp<std::uint64_t>(openFileLimit / 4, 1, kMaxReportsInFlight));
}

std::size_t loopStackSize() {
  pthread_attr_t attr;
  std::size_t size = 0;
  if (pthread_attr_init(&attr) == 0) {
    pthread_attr_getstacksize(&attr, &size);
    pthread_attr_destroy(&attr);
  }
  return loopStackSize(size);
}

std::size_t loopThreadCount() {
  return loopThreadCount(std::thread::hardware_concurrency());
}

std::size_t reportsInFlightLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
    return kMaxReportsInFlight;
  return reportsInFlightLimit(static_cast<std::uint64_t>(limit.rlim_cur));
}

} // namespace vantrel::server
