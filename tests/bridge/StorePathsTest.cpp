#include "bridge/StorePaths.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace vantrel::bridge {
namespace {

// Each test sets the environment it needs and puts the old values back.
class StorePathsTest : public ::testing::Test {
protected:
  void SetUp() override {
    for (const char* name : {"HOME", "XDG_DATA_HOME"}) {
      const char* value = std::getenv(name);
      saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
  }
  void TearDown() override {
    for (const auto& [name, value] : saved_) {
      if (value)
        ::setenv(name.c_str(), value->c_str(), 1);
      else
        ::unsetenv(name.c_str());
    }
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

#ifdef __APPLE__
constexpr const char* kUnderHome = "/Library/Application Support";
#else
constexpr const char* kUnderHome = "/.local/share";
#endif

TEST_F(StorePathsTest, BundleFolderFirstThenSupportDirectory) {
  ::setenv("HOME", "/Users/someone", 1);
  ::unsetenv("XDG_DATA_HOME");
  const std::string support = std::string("/Users/someone") + kUnderHome;
  EXPECT_EQ(applicationSupportDirectory(), support);
  EXPECT_EQ(StorePaths::resolveCandidates("bridge.token"),
            (std::vector<std::string>{support + "/com.quillmoor.vantrel/bridge.token",
                                      support + "/bridge.token"}));
}

TEST_F(StorePathsTest, TrailingSlashInHomeDoesNotDoubleUp) {
  ::setenv("HOME", "/Users/someone//", 1);
  ::unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(applicationSupportDirectory(), std::string("/Users/someone") + kUnderHome);
}

TEST_F(StorePathsTest, EmptyOrRelativeHomeFallsBackToUserDatabase) {
  ::unsetenv("XDG_DATA_HOME");
  ::unsetenv("HOME");
  auto fromDatabase = applicationSupportDirectory();
  ::setenv("HOME", "", 1);
  EXPECT_EQ(applicationSupportDirectory(), fromDatabase);
  ::setenv("HOME", "relative/home", 1);
  EXPECT_EQ(applicationSupportDirectory(), fromDatabase);
  if (fromDatabase) {
    EXPECT_EQ(fromDatabase->front(), '/');
    EXPECT_NE(fromDatabase->find(kUnderHome), std::string::npos);
  }
}

#ifndef __APPLE__
TEST_F(StorePathsTest, AbsoluteXdgDataHomeWinsRelativeIsIgnored) {
  ::setenv("HOME", "/home/someone", 1);
  ::setenv("XDG_DATA_HOME", "/data/here/", 1);
  EXPECT_EQ(applicationSupportDirectory(), "/data/here");
  EXPECT_EQ(StorePaths::resolveCandidates("agent-guide.md").front(),
            "/data/here/com.quillmoor.vantrel/agent-guide.md");
  ::setenv("XDG_DATA_HOME", "data/here", 1);
  EXPECT_EQ(applicationSupportDirectory(), "/home/someone/.local/share");
  ::setenv("XDG_DATA_HOME", "", 1);
  EXPECT_EQ(applicationSupportDirectory(), "/home/someone/.local/share");
}
#endif

} // namespace
} // namespace vantrel::bridge
