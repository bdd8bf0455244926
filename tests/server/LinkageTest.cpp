// The shipped binary needs nothing at run time but the C and C++ runtimes.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <memory>
#include <string>

namespace {

std::string commandOutput(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  std::string output;
  std::array<char, 4096> chunk{};
  while (pipe && std::fgets(chunk.data(), chunk.size(), pipe.get()))
    output += chunk.data();
  return output;
}

TEST(LinkageTest, ServerLinksOnlyTheCAndCxxRuntimes) {
#ifdef VANTREL_SANITIZED
  GTEST_SKIP() << "sanitizer runtimes are linked in this build";
#endif
#ifdef __APPLE__
  const std::string listing = commandOutput("otool -L '" VANTREL_MCP_PATH "'");
  const std::string allowed[] = {"libSystem", "libc++"};
#else
  const std::string listing = commandOutput("ldd '" VANTREL_MCP_PATH "'");
  const std::string allowed[] = {"linux-vdso", "libc.so",   "libm.so",
                                 "ld-linux",   "libstdc++", "libgcc_s"};
#endif
  ASSERT_FALSE(listing.empty());
  std::size_t start = 0;
  for (std::size_t end; (end = listing.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = listing.substr(start, end - start);
    if (line.find(".dylib") == std::string::npos && line.find("=>") == std::string::npos &&
        line.find("ld-linux") == std::string::npos && line.find("vdso") == std::string::npos)
      continue; // otool's first line names the binary itself
    bool known = false;
    for (const auto& name : allowed)
      known = known || line.find(name) != std::string::npos;
    EXPECT_TRUE(known) << "unexpected library: " << line;
  }
  EXPECT_EQ(listing.find("curl"), std::string::npos);
}

} // namespace
