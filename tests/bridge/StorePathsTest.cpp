#include "bridge/StorePaths.h"

#include "support/ScopedEnv.h"

#include <gtest/gtest.h>

namespace vantrel::bridge {
namespace {

using Env = SupportEnvironment;
using vantrel::testing::ScopedEnv;
const std::optional<std::string> kUnset;

TEST(StorePathsTest, SupportDirectoryOnEachPlatform) {
  const struct {
    const char* what;
    Platform platform;
    Env env;
    std::optional<std::string> support;
  } cases[] = {
      {"mac home",
       Platform::macOS,
       {"/Users/a", kUnset, kUnset},
       "/Users/a/Library/Application Support"},
      {"mac trailing slashes",
       Platform::macOS,
       {"/Users/a//", kUnset, kUnset},
       "/Users/a/Library/Application Support"},
      {"mac root home", Platform::macOS, {"/", kUnset, kUnset}, "/Library/Application Support"},
      {"mac ignores XDG",
       Platform::macOS,
       {"/Users/a", "/data", kUnset},
       "/Users/a/Library/Application Support"},
      {"mac unset home",
       Platform::macOS,
       {kUnset, kUnset, "/Users/db"},
       "/Users/db/Library/Application Support"},
      {"mac empty home",
       Platform::macOS,
       {"", kUnset, "/Users/db"},
       "/Users/db/Library/Application Support"},
      {"mac relative home",
       Platform::macOS,
       {"Users/a", kUnset, "/Users/db/"},
       "/Users/db/Library/Application Support"},
      {"mac no home anywhere", Platform::macOS, {kUnset, kUnset, kUnset}, kUnset},
      {"mac relative everywhere", Platform::macOS, {"a", kUnset, "b"}, kUnset},

      {"unix home", Platform::otherUnix, {"/home/a/", kUnset, kUnset}, "/home/a/.local/share"},
      {"unix XDG wins", Platform::otherUnix, {"/home/a", "/data/here/", kUnset}, "/data/here"},
      {"unix relative XDG",
       Platform::otherUnix,
       {"/home/a", "data/here", kUnset},
       "/home/a/.local/share"},
      {"unix empty XDG", Platform::otherUnix, {"/home/a", "", kUnset}, "/home/a/.local/share"},
      {"unix XDG without home", Platform::otherUnix, {kUnset, "/data", kUnset}, "/data"},
      {"unix empty home", Platform::otherUnix, {"", kUnset, "/home/db"}, "/home/db/.local/share"},
      {"unix nothing", Platform::otherUnix, {kUnset, "rel", kUnset}, kUnset},
  };
  for (const auto& c : cases)
    EXPECT_EQ(supportDirectoryFor(c.platform, c.env), c.support) << c.what;
}

#ifdef __APPLE__
constexpr const char* kUnderHome = "/Library/Application Support";
#else
constexpr const char* kUnderHome = "/.local/share";
#endif

// The only tests that go through the real environment: the wiring from $HOME to the paths.
TEST(StorePathsEnvTest, BundleFolderFirstThenSupportDirectory) {
  ScopedEnv env({{"HOME", "/Users/someone"}, {"XDG_DATA_HOME", std::nullopt}});
  std::string support = "/Users/someone";
  support.append(kUnderHome); // appended: GCC 12 warns falsely on string + literal at -O2
  EXPECT_EQ(applicationSupportDirectory(), support);
  EXPECT_EQ(StorePaths::resolveCandidates("bridge.token"),
            (std::vector<std::string>{support + "/com.quillmoor.vantrel/bridge.token",
                                      support + "/bridge.token"}));
}

TEST(StorePathsEnvTest, UnusableHomeIsLookedUpInTheUserDatabase) {
  ScopedEnv env({{"HOME", std::nullopt}, {"XDG_DATA_HOME", std::nullopt}});
  auto fromDatabase = applicationSupportDirectory();
  env.set({{"HOME", "relative/home"}});
  EXPECT_EQ(applicationSupportDirectory(), fromDatabase);
  if (fromDatabase) {
    EXPECT_EQ(fromDatabase->front(), '/');
    EXPECT_NE(fromDatabase->find(kUnderHome), std::string::npos);
  }
}

} // namespace
} // namespace vantrel::bridge
