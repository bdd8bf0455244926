// The shipped binary needs nothing at run time but the C and C++ runtimes.
// Labels: e2e
#include "driver/ChildProcess.h"

#include <gtest/gtest.h>

#include <string>

namespace vantrel::testing {

using namespace vantrel::driver;
namespace {

using namespace std::chrono_literals;

TEST(LinkageTest, ServerLinksOnlyTheCAndCxxRuntimes) {
#ifdef VANTREL_SANITIZED
  GTEST_SKIP() << "sanitizer runtimes are linked in this build";
#endif
#ifdef __APPLE__
  const std::vector<std::string> lister = {"otool", "-L", VANTREL_MCP_PATH};
  const std::string allowed[] = {"libSystem", "libc++"};
#else
  const std::vector<std::string> lister = {"ldd", VANTREL_MCP_PATH};
  const std::string allowed[] = {"linux-vdso", "libc.so",   "libm.so",
                                 "ld-linux",   "libstdc++", "libgcc_s"};
#endif
  const std::string listing = runToExit(lister, {.in = ChildProcess::Stdio::Null}, 60s).out;
  ASSERT_FALSE(listing.empty());
  LineSplitter lines;
  lines.append(listing);
  while (auto line = lines.next()) {
    if (line->find(".dylib") == std::string::npos && line->find("=>") == std::string::npos &&
        line->find("ld-linux") == std::string::npos && line->find("vdso") == std::string::npos)
      continue; // otool's first line names the binary itself
    bool known = false;
    for (const auto& name : allowed)
      known = known || line->find(name) != std::string::npos;
    EXPECT_TRUE(known) << "unexpected library: " << *line;
  }
  EXPECT_EQ(listing.find("curl"), std::string::npos);
}

} // namespace
} // namespace vantrel::testing
