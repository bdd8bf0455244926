#include "server/ProcessSetup.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace vantrel::server {
namespace {

constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kMacOpenMax = 10240;

TEST(ProcessSetupTest, OpenFileLimitTakesTheHardLimitCappedOnMacOS) {
  const struct {
    Platform platform;
    std::uint64_t soft, hard, openMax;
    std::uint64_t wanted;
  } cases[] = {
      // macOS starts us with 256 and refuses a soft limit above OPEN_MAX.
      {Platform::macOS, 256, kUnlimited, kMacOpenMax, kMacOpenMax},
      {Platform::macOS, 256, 4096, kMacOpenMax, 4096},
      {Platform::macOS, 20000, kUnlimited, kMacOpenMax, 20000}, // never lowered
      {Platform::macOS, 256, 4096, 0, 4096},                    // no cap known
      // Elsewhere the hard limit is what the kernel allows; OPEN_MAX means nothing there.
      {Platform::otherUnix, 1024, 1048576, kMacOpenMax, 1048576},
      {Platform::otherUnix, 1024, 1024, 0, 1024},
      {Platform::otherUnix, 4096, 1024, 0, 4096}, // never lowered
  };
  for (const auto& c : cases) {
    EXPECT_EQ(wantedOpenFileLimit(c.platform, c.soft, c.hard, c.openMax), c.wanted)
        << (c.platform == Platform::macOS ? "macOS" : "other") << " soft " << c.soft << " hard "
        << c.hard;
  }
}

TEST(ProcessSetupTest, LoopStackIsAtLeastOneMebibyte) {
  const struct {
    std::size_t platformDefault, wanted;
  } cases[] = {
      {512 * 1024, 1024 * 1024},          // macOS's default for new threads
      {8 * 1024 * 1024, 8 * 1024 * 1024}, // Linux's stays
      {1024 * 1024, 1024 * 1024},
      {0, 1024 * 1024}, // the default could not be read
  };
  for (const auto& c : cases)
    EXPECT_EQ(loopStackSize(c.platformDefault), c.wanted) << c.platformDefault;
  EXPECT_GE(loopStackSize(), 1024u * 1024u);
}

// Beside the reading thread, which runs the loop too: one even on one core (a long answer's
// write must not stop the reading), at most two.
TEST(ProcessSetupTest, LoopThreadsBesideTheReadingOne) {
  const struct {
    unsigned hardware;
    std::size_t threads;
  } cases[] = {{0, 1}, {1, 1}, {2, 1}, {3, 2}, {4, 2}, {64, 2}}; // 0: the count is unknown
  for (const auto& c : cases)
    EXPECT_EQ(loopThreadCount(c.hardware), c.threads) << c.hardware;
}

// Reports leave three quarters of the descriptors to the calls.
TEST(ProcessSetupTest, ReportsInFlightAreAQuarterOfTheFileLimitUpTo256) {
  const struct {
    std::uint64_t openFiles;
    std::size_t reports;
  } cases[] = {{0, 1}, {3, 1}, {64, 16}, {128, 32}, {1024, 256}, {1u << 20, 256}};
  for (const auto& c : cases)
    EXPECT_EQ(reportsInFlightLimit(c.openFiles), c.reports) << c.openFiles;
}

} // namespace
} // namespace vantrel::server
