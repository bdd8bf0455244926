#include "Relays.h"

#include "Phases.h"
#include "Stats.h"
#include "driver/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace vantrel::bench {
namespace {

namespace fs = std::filesystem;

// A peer that is missing, not executable or not a file is not run, with the reason; one that is
// there runs from where it was built; without a directory none runs.
TEST(RelaysTest, FindPeersRunsOnlyExecutablesWhereTheyAreBuilt) {
  for (const auto& peer : findPeers("")) {
    EXPECT_TRUE(peer.notRun.find("--peers") != std::string::npos) << peer.name;
  }

  driver::TempDir dir("vantrel-peers");
  fs::path rust = dir.write("rust/peer-rust", "#!/bin/sh\n");
  fs::permissions(rust, fs::perms::owner_all);
  auto peers = findPeers(dir.path().string());
  ASSERT_EQ(peers.size(), 2u);
  EXPECT_EQ(peers[0].name, kRust);
  EXPECT_EQ(peers[0].path, rust.string());
  EXPECT_EQ(peers[0].notRun, "");
  EXPECT_EQ(peers[1].name, "Go");
  EXPECT_NE(peers[1].notRun.find("go/peer-go"), std::string::npos) << peers[1].notRun;

  dir.write("go/peer-go", "not a program"); // readable, not executable
  EXPECT_FALSE(findPeers(dir.path().string())[1].notRun.empty());
  fs::remove(dir / "go/peer-go");
  fs::create_directories(dir / "go/peer-go"); // a directory passes access(X_OK)
  EXPECT_FALSE(findPeers(dir.path().string())[1].notRun.empty());
}

// Over as many blocks as there are turns, each turn takes every place once: none is always
// first after a floor's turn or always last.
TEST(RelaysTest, TurnsRotateThroughEveryPlace) {
  EXPECT_EQ(rotation(4, 0), (std::vector<std::size_t>{0, 1, 2, 3}));
  for (std::size_t count : {std::size_t{1}, std::size_t{2}, std::size_t{4}}) {
    std::vector<std::vector<int>> seen(count, std::vector<int>(count, 0)); // [turn][place]
    for (int block = 0; block < static_cast<int>(count); ++block) {
      auto order = rotation(count, block + 7);
      ASSERT_EQ(order.size(), count);
      for (std::size_t place = 0; place < count; ++place)
        ++seen[order[place]][place];
    }
    for (const auto& places : seen)
      EXPECT_EQ(places, std::vector<int>(count, 1)) << count;
  }
}

TEST(RelaysTest, LargePeakLimitIsTheReplyAndAQuarterOverRoomForTheProcess) {
  EXPECT_DOUBLE_EQ(largePeakLimitMiB(80u << 20), 120.0);
  EXPECT_DOUBLE_EQ(largePeakLimitMiB(0), 16.0);
}

} // namespace
} // namespace vantrel::bench
